#include <unistd.h>

#include <csignal>
#include <iostream>

#include "audio-capture/entry.h"

int main(int argc, char** argv) {
  using namespace wf::capture;
  installStop(SIGTERM);
  installStop(SIGINT);
  installStop(SIGPIPE);
  Platform platform = makePlatform();
  FdSink raw(STDOUT_FILENO);
  Io io{std::cout, raw, std::cerr, steadyClock(), stopping};
  return run(std::vector<std::string>(argv + 1, argv + argc), platform, io);
}
