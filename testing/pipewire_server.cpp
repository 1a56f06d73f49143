#include "testing/pipewire_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>

#include "testing/wait_for.h"

namespace wf::testing {

namespace {

SpawnOptions quiet(std::vector<std::pair<std::string, std::string>> env) {
  SpawnOptions o;
  o.env = std::move(env);
  // A user's own session must never be reached.
  o.unsetEnv = {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"};
  o.pipeStdin = false;
  o.pipeStdout = false;
  o.pipeStderr = false;
  return o;
}

// The sine: a live test source that drives its own graph and stays when
// pw-cli, which made it, exits. Its ports are set up as it is made: left to
// the session manager, the first reader can link before they are and never
// gets data.
const char* const SINE_NODE =
    "{ factory.name=audiotestsrc node.name=sine node.description=\"Sine source at 440 Hz\" "
    "media.class=Audio/Source audio.rate=48000 node.driver=true object.linger=true "
    "adapter.auto-port-config={ mode=dsp monitor=false control=false position=[ FL FR ] } }";

// The server's processes run at the priority that PipeWire's real-time
// module asks of the system on a desktop (nice.level in Debian's
// pipewire.conf). That module cannot reach the system's real-time service
// here, and at the default priority a loaded machine holds stream set-up up
// past the bridge's 100 ms.
const char* const NICE_LEVEL = "-11";

}  // namespace

PipeWireServer::PipeWireServer() {
  for (const char* d : {"run", "home", "config", "config/pipewire",
                        "config/pipewire/pipewire.conf.d", "state", "data"}) {
    ::mkdir(dir_.file(d).c_str(), 0700);
  }
  dir_.write("config/pipewire/pipewire.conf.d/test-source.conf",
             "context.spa-libs = {\n"
             "    audiotestsrc = audiotestsrc/libspa-audiotestsrc\n"
             "}\n");
  bus_ = Child::spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                       "--address=unix:path=" + dir_.file("bus")},
                      quiet({}));
  // wireplumber ends at once without its bus.
  waitFor([&] { return ::access(dir_.file("bus").c_str(), F_OK) == 0 || !bus_.running(); },
          std::chrono::seconds(20), "the private session bus");
  start();
}

PipeWireServer::~PipeWireServer() {
  stopAll();
  bus_.kill();
}

std::vector<std::pair<std::string, std::string>> PipeWireServer::serverEnv() const {
  return {{"HOME", dir_.file("home")},
          {"XDG_RUNTIME_DIR", dir_.file("run")},
          {"XDG_CONFIG_HOME", dir_.file("config")},
          {"XDG_STATE_HOME", dir_.file("state")},
          {"XDG_DATA_HOME", dir_.file("data")},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_.file("bus")}};
}

std::vector<std::pair<std::string, std::string>> PipeWireServer::clientEnv() const {
  // PULSE_SERVER too, so that a variable in the test's own environment
  // cannot point elsewhere.
  return {{"HOME", dir_.file("home")},
          {"XDG_RUNTIME_DIR", dir_.file("run")},
          {"PULSE_SERVER", "unix:" + dir_.file("run/pulse/native")},
          {"PULSE_RUNTIME_PATH", dir_.file("run/pulse")}};
}

void PipeWireServer::start() {
  ready_ = false;
  auto env = serverEnv();
  core_ = Child::spawn({"nice", "-n", NICE_LEVEL, "pipewire"}, quiet(env));
  // The session manager and the pulse server connect to the core's socket.
  waitFor(
      [&] { return ::access(dir_.file("run/pipewire-0").c_str(), F_OK) == 0 || !core_.running(); },
      std::chrono::seconds(20), "the PipeWire core's socket");
  session_ = Child::spawn({"nice", "-n", NICE_LEVEL, "wireplumber"}, quiet(env));
  pulse_ = Child::spawn({"nice", "-n", NICE_LEVEL, "pipewire-pulse"}, quiet(env));
  waitFor(
      [&] {
        ExitStatus s;
        pactl({"info"}, &s);
        return (s.exited && s.code == 0) || !pulse_.running();
      },
      std::chrono::seconds(20), "the private PipeWire pulse server to answer pactl info");
  // Streams only reach a source once the session manager links them.
  waitFor(
      [&] {
        std::string clients = pwCli({"ls", "Client"});
        std::transform(clients.begin(), clients.end(), clients.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return clients.find("wireplumber") != std::string::npos || !session_.running();
      },
      std::chrono::seconds(20), "wireplumber to join the PipeWire core");
  // A null sink as PulseAudio's, in place of the fallback "Dummy Output".
  ExitStatus sink;
  pwCli({"create-node", "adapter",
         "{ factory.name=support.null-audio-sink node.name=nullsink "
         "node.description=\"Null Output\" media.class=Audio/Sink audio.rate=48000 "
         "audio.channels=2 audio.position=[ FL FR ] node.driver=true node.virtual=true "
         "monitor.channel-volumes=true object.linger=true }"},
        &sink);
  waitFor(
      [&] {
        const std::string sinks = pactl({"list", "sinks", "short"});
        return sinks.find("\tnullsink\t") != std::string::npos &&
               sinks.find("auto_null") == std::string::npos;
      },
      std::chrono::seconds(20), "the null sink to replace the dummy output");
  pactl({"set-default-sink", "nullsink"});
  ready_ = core_.running() && session_.running() && pulse_.running() && sink.exited &&
           sink.code == 0 && recreateSine();
}

std::string PipeWireServer::pwCli(const std::vector<std::string>& args, ExitStatus* status) const {
  std::vector<std::string> argv = {"pw-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  SpawnOptions o = quiet(serverEnv());
  o.pipeStdout = true;
  return runCommand(argv, status, o);
}

std::string PipeWireServer::pactl(const std::vector<std::string>& args, ExitStatus* status) const {
  std::vector<std::string> argv = {"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  SpawnOptions o = quiet(clientEnv());
  o.pipeStdout = true;
  return runCommand(argv, status, o);
}

int PipeWireServer::sineNode() const {
  // "\tid 42, type PipeWire:Interface:Node/3" followed by its properties.
  std::istringstream in(pwCli({"ls", "Node"}));
  std::string line;
  int id = -1;
  while (std::getline(in, line)) {
    const auto at = line.find("id ");
    if (at != std::string::npos && line.find("type ") != std::string::npos) {
      id = std::stoi(line.substr(at + 3));
    } else if (line.find("node.name = \"sine\"") != std::string::npos) {
      return id;
    }
  }
  return -1;
}

bool PipeWireServer::removeSine() {
  const int id = sineNode();
  if (id < 0) {
    return false;
  }
  ExitStatus s;
  pwCli({"destroy", std::to_string(id)}, &s);
  return s.exited && s.code == 0;
}

bool PipeWireServer::recreateSine() {
  while (sineNode() >= 0) {
    if (!removeSine()) {
      return false;
    }
  }
  waitFor(
      [&] {
        return pactl({"list", "sources", "short"}).find("\tsine\t") == std::string::npos;
      },
      std::chrono::seconds(20), "the old sine source to go");
  ExitStatus made;
  pwCli({"create-node", "adapter", SINE_NODE}, &made);
  if (!made.exited || made.code != 0) {
    return false;
  }
  if (!waitFor(
          [&] {
            return pactl({"list", "sources", "short"}).find("\tsine\t") != std::string::npos;
          },
          std::chrono::seconds(20), "the sine source to be listed")) {
    return false;
  }
  // pactl's volume scale is cubic: 79.37% is a linear factor of
  // 0.7937^3 = 0.5, which makes the full-scale test sine one of amplitude
  // 0.5 on each channel.
  ExitStatus s;
  pactl({"set-default-source", "sine"}, &s);
  pactl({"set-source-volume", "sine", "79.37%"}, &s);
  return s.exited && s.code == 0;
}

void PipeWireServer::stopAll() {
  pulse_.kill();
  session_.kill();
  core_.kill();
}

void PipeWireServer::kill() {
  stopAll();
  ready_ = false;
}

void PipeWireServer::pause() {
  pulse_.signal(SIGSTOP);
  session_.signal(SIGSTOP);
  core_.signal(SIGSTOP);
}

void PipeWireServer::pauseCore() {
  core_.signal(SIGSTOP);
}

void PipeWireServer::resume() {
  core_.signal(SIGCONT);
  session_.signal(SIGCONT);
  pulse_.signal(SIGCONT);
}

bool PipeWireServer::restart() {
  stopAll();
  start();
  return ready_;
}

}  // namespace wf::testing
