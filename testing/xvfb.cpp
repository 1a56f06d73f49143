#include "testing/xvfb.h"

#include <signal.h>

#include <chrono>

namespace wf::testing {

Xvfb::Xvfb() {
  // -displayfd makes the server choose a free display number and write it to
  // standard output only once it is listening, which is both race-free
  // against other tests and the readiness signal.
  SpawnOptions options;
  options.pipeStdin = false;
  options.pipeStderr = false;
  server_ = Child::spawn(
      {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
      options);
  auto line = server_.readLine(std::chrono::seconds(30));
  if (line && !line->empty()) {
    display_ = ":" + *line;
  }
}

Xvfb::~Xvfb() {
  stop();
}

void Xvfb::stop() {
  if (server_.pid() > 0 && server_.running()) {
    server_.signal(SIGTERM);
    if (!server_.wait(std::chrono::seconds(5))) {
      server_.kill();
    }
  }
}

std::vector<std::pair<std::string, std::string>> Xvfb::clientEnv() const {
  return {{"DISPLAY", display_}};
}

}  // namespace wf::testing
