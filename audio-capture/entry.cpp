#include "audio-capture/entry.h"

#include "audio-capture/failure.h"
#include "audio-capture/listing/devices.h"
#include "audio-capture/listing/json_line.h"
#include "audio-capture/signal/test_signal.h"
#include "audio-capture/stream/capture.h"

namespace wf::capture {

volatile std::sig_atomic_t stopping = 0;

void stop(int) {
  stopping = 1;
}

void installStop(int signal) {
  struct sigaction action = {};
  action.sa_handler = &stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(signal, &action, nullptr);
}

namespace {

int dispatch(const std::vector<std::string>& args, Platform& platform, Io& io) {
  if (args.size() == 1 && args[0] == "--test-signal") {
    return runTestMode(TestMode::signal, io);
  }
  if (args.size() == 1 && args[0] == "--test-stream") {
    return runTestMode(TestMode::stream, io);
  }
  nlohmann::json records = devices(*platform.properties);
  // An empty list from a server that stopped answering would claim a
  // machine without inputs.
  if (platform.properties->stalled()) {
    throw Failure(Failure::Reason::unresponsive, "the sound server did not answer in time");
  }
  if (args.size() == 1 && args[0] == "--list") {
    json(listing(records), io.out);
    return 0;
  }
  if (args.size() == 2 && args[0] == "--capture") {
    capture(args[1], records, platform, io);
    return 0;
  }
  throw Failure(Failure::Reason::usage, "usage");
}

}  // namespace

int run(const std::vector<std::string>& args, Platform& platform, Io& io) {
  try {
    return dispatch(args, platform, io);
  } catch (...) {
    io.err << FAILURE_LINE << '\n';
    io.err.flush();
    return 1;
  }
}

}  // namespace wf::capture
