#include "testing/pulse_server.h"

#include <sys/stat.h>

#include <csignal>

#include <chrono>
#include <sstream>
#include <thread>

namespace wf::testing {

PulseServer::PulseServer() {
  start();
}

void PulseServer::start() {
  ready_ = false;
  ::mkdir(dir_.file("run").c_str(), 0700);
  ::mkdir(dir_.file("home").c_str(), 0700);
  dir_.write(
      "pa.pa",
      "load-module module-native-protocol-unix auth-anonymous=1 socket=" + dir_.file("run/native") +
          "\n"
          "load-module module-null-sink sink_name=nullsink rate=48000 channels=2\n"
          "load-module module-sine-source source_name=sine frequency=440 rate=48000\n"
          "set-default-sink nullsink\n"
          "set-default-source sine\n");
  SpawnOptions o;
  o.env = {{"HOME", dir_.file("home")}, {"PULSE_RUNTIME_PATH", dir_.file("run")}};
  o.pipeStdin = false;
  o.pipeStdout = false;
  o.pipeStderr = false;
  daemon_ = Child::spawn({"pulseaudio", "-n", "-F", dir_.file("pa.pa"), "--daemonize=no",
                          "--exit-idle-time=-1", "--use-pid-file=no", "--system=no"},
                         o);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && daemon_.running()) {
    ExitStatus s;
    pactl({"info"}, &s);
    if (s.exited && s.code == 0) {
      ready_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PulseServer::~PulseServer() {
  daemon_.kill();
}

void PulseServer::kill() {
  daemon_.kill();
  ready_ = false;
}

void PulseServer::pause() {
  daemon_.signal(SIGSTOP);
}

void PulseServer::resume() {
  daemon_.signal(SIGCONT);
}

bool PulseServer::restart() {
  daemon_.kill();
  start();
  return ready_;
}

std::string PulseServer::serverAddress() const {
  return "unix:" + dir_.file("run/native");
}

std::vector<std::pair<std::string, std::string>> PulseServer::clientEnv() const {
  return {{"PULSE_SERVER", serverAddress()},
          {"PULSE_RUNTIME_PATH", dir_.file("run")},
          {"HOME", dir_.file("home")}};
}

std::string PulseServer::pactl(const std::vector<std::string>& args, ExitStatus* status) const {
  std::vector<std::string> argv = {"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  SpawnOptions o;
  o.env = clientEnv();
  o.pipeStderr = false;
  return runCommand(argv, status, o);
}

int PulseServer::sineModule() const {
  std::istringstream in(pactl({"list", "modules", "short"}));
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("module-sine-source") != std::string::npos) {
      return std::stoi(line);
    }
  }
  return -1;
}

}  // namespace wf::testing
