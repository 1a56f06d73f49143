#pragma once

#include <chrono>

namespace wf::bridge {

/// The monotonic clock and sleeping, as the encoder's grace periods, its feed
/// backlog rules and the readiness probe use them; tests substitute a clock
/// they advance themselves. Implementations are safe to read from any thread.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

/// The real monotonic clock.
Clock& steady_clock();

}  // namespace wf::bridge
