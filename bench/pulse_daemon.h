#pragma once

// A private PulseAudio daemon for the benchmarks, which are standalone
// programs built without the test library: its own runtime directory and
// socket, a stereo null sink and a 440 Hz sine source, as the tests use.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace wf::bench {

class PulseDaemon {
 public:
  PulseDaemon() {
    char pattern[] = "/tmp/wf-bench-pulse-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::filesystem::create_directories(dir_ + "/run");
    std::filesystem::create_directories(dir_ + "/home");
    std::ofstream(dir_ + "/pa.pa")
        << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << dir_
        << "/run/native\n"
        << "load-module module-null-sink sink_name=nullsink rate=48000 channels=2\n"
        << "load-module module-sine-source source_name=sine frequency=440 rate=48000\n"
        << "set-default-sink nullsink\nset-default-source sine\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setenv("HOME", (dir_ + "/home").c_str(), 1);
      ::setenv("PULSE_RUNTIME_PATH", (dir_ + "/run").c_str(), 1);
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      const std::string script = dir_ + "/pa.pa";
      ::execlp("pulseaudio", "pulseaudio", "-n", "-F", script.c_str(), "--daemonize=no",
               "--exit-idle-time=-1", "--use-pid-file=no", "--system=no", nullptr);
      ::_exit(127);
    }
    const std::string probe = "PULSE_SERVER=" + address() + " pactl info >/dev/null 2>&1";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::system(probe.c_str()) == 0) {
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  ~PulseDaemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool ready() const { return ready_; }
  /// The value for PULSE_SERVER.
  std::string address() const { return "unix:" + dir_ + "/run/native"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace wf::bench
