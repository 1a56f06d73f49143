#pragma once

// A private PipeWire for the benchmarks, which are standalone programs built
// without the test library: a session bus, the core, the session manager and
// the pulse server, with Debian's configurations and every XDG folder in one
// temporary directory, a 440 Hz sine source "sine" (described as "Sine
// source at 440 Hz") and a null sink, as the tests use.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace wf::bench {

class PipeWireDaemon {
 public:
  PipeWireDaemon() {
    char pattern[] = "/tmp/wf-bench-pw-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    for (const char* d : {"run", "home", "config/pipewire/pipewire.conf.d", "state", "data"}) {
      std::filesystem::create_directories(dir_ + "/" + d);
    }
    std::filesystem::permissions(dir_ + "/run", std::filesystem::perms::owner_all);
    std::ofstream(dir_ + "/config/pipewire/pipewire.conf.d/test-source.conf")
        << "context.spa-libs = {\n    audiotestsrc = audiotestsrc/libspa-audiotestsrc\n}\n";
    env_ = "HOME=" + dir_ + "/home XDG_RUNTIME_DIR=" + dir_ + "/run XDG_CONFIG_HOME=" + dir_ +
           "/config XDG_STATE_HOME=" + dir_ + "/state XDG_DATA_HOME=" + dir_ +
           "/data DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus PULSE_SERVER=" + address();
    spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
           "--address=unix:path=" + dir_ + "/bus"});
    if (!until("test -S " + dir_ + "/bus")) {
      return;
    }
    // At the priority PipeWire's real-time module asks for on a desktop
    // (nice.level in Debian's pipewire.conf), which it cannot get here.
    spawn({"nice", "-n", "-11", "pipewire"});
    if (!until("test -S " + dir_ + "/run/pipewire-0")) {
      return;
    }
    spawn({"nice", "-n", "-11", "wireplumber"});
    spawn({"nice", "-n", "-11", "pipewire-pulse"});
    ready_ = until("pactl info") && until("pw-cli ls Client | grep -qi wireplumber") &&
             shell(
                 "pw-cli create-node adapter '{ factory.name=support.null-audio-sink "
                 "node.name=nullsink node.description=\"Null Output\" media.class=Audio/Sink "
                 "audio.rate=48000 audio.channels=2 audio.position=[ FL FR ] node.driver=true "
                 "node.virtual=true monitor.channel-volumes=true object.linger=true }'") &&
             shell(
                 "pw-cli create-node adapter '{ factory.name=audiotestsrc node.name=sine "
                 "node.description=\"Sine source at 440 Hz\" media.class=Audio/Source "
                 "audio.rate=48000 node.driver=true object.linger=true adapter.auto-port-config={ "
                 "mode=dsp monitor=false control=false position=[ FL FR ] } }'") &&
             until("pactl list sources short | grep -q sine") &&
             shell("pactl set-default-source sine");
  }

  ~PipeWireDaemon() {
    for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
      ::kill(*it, SIGKILL);
      ::waitpid(*it, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  PipeWireDaemon(const PipeWireDaemon&) = delete;
  PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

  bool ready() const { return ready_; }
  /// The value for PULSE_SERVER.
  std::string address() const { return "unix:" + dir_ + "/run/pulse/native"; }
  /// The runtime directory, the value for XDG_RUNTIME_DIR.
  std::string runtimeDir() const { return dir_ + "/run"; }

 private:
  bool shell(const std::string& command) const {
    return std::system(
               ("env " + env_ + " sh -c '" + escape(command) + "' >/dev/null 2>&1").c_str()) == 0;
  }
  static std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
      out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out;
  }
  bool until(const std::string& command) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (shell(command)) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void spawn(const std::vector<std::string>& argv) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("HOME", (dir_ + "/home").c_str(), 1);
      ::setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
      ::setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
      ::setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
      ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir_ + "/bus").c_str(), 1);
      ::unsetenv("PULSE_SERVER");
      ::unsetenv("PULSE_RUNTIME_PATH");
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      std::vector<char*> args;
      for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
      }
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    pids_.push_back(pid);
  }

  std::string dir_;
  std::string env_;
  std::vector<pid_t> pids_;
  bool ready_ = false;
};

}  // namespace wf::bench
