#pragma once

#include <csignal>
#include <ostream>

#include "audio-capture/stream/clock.h"
#include "audio-capture/stream/sink.h"

namespace wf::capture {

/// What a mode talks to: standard output twice (buffered for the JSON header
/// line, unbuffered for packets), standard error, the clock and the stop flag
/// that the signal handler sets.
struct Io {
  std::ostream& out;
  Sink& raw;
  std::ostream& err;
  Clock& clock;
  const volatile std::sig_atomic_t& stopping;
};

}  // namespace wf::capture
