#include "testing/pulse_server.h"

#include <sys/stat.h>

#include <csignal>

#include <chrono>
#include <sstream>

#include "testing/wait_for.h"

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
  // A daemon that exits ends the wait at once; ready_ stays false.
  waitFor(
      [&] {
        ExitStatus s;
        pactl({"info"}, &s);
        ready_ = s.exited && s.code == 0;
        return ready_ || !daemon_.running();
      },
      std::chrono::seconds(20), "the private sound server to answer pactl info");
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

bool PulseServer::removeSine() {
  const int module = sineModule();
  if (module < 0) {
    return false;
  }
  ExitStatus s;
  pactl({"unload-module", std::to_string(module)}, &s);
  return s.exited && s.code == 0;
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
