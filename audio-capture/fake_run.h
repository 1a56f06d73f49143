#pragma once

#include <csignal>
#include <sstream>

#include "audio-capture/io.h"
#include "audio-capture/platform/fake_platform.h"
#include "audio-capture/stream/fake_clock.h"
#include "audio-capture/stream/fake_sink.h"

namespace wf::capture {

/// Everything one run of the program talks to, faked for unit tests: the
/// platform services, standard output and error as text, the raw packet
/// sink, a scripted clock and the stop flag, bundled as the run's `Io`.
struct FakeRun {
  FakePlatform fake;
  std::ostringstream out;
  std::ostringstream err;
  RecordingSink raw;
  FakeClock clock;
  volatile std::sig_atomic_t stop = 0;
  Io io{out, raw, err, clock, stop};
};

}  // namespace wf::capture
