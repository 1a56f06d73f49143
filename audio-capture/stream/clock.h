#pragma once

#include <chrono>

namespace wf::capture {

/// The monotonic clock and sleeping, as the writer and the test modes use
/// them; tests substitute a clock they advance themselves.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
  virtual void sleepFor(std::chrono::microseconds duration) = 0;
};

/// The real monotonic clock.
Clock& steadyClock();

}  // namespace wf::capture
