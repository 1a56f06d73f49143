#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace wf::host {

/// The main thread's sleep between turns: blocks until a descriptor it was
/// given becomes readable, another thread calls `wake`, or the time limit
/// passes. One implementation per platform (event_wait_linux.cpp) and a fake
/// for tests (event_wait_fake.h).
class EventWait {
 public:
  virtual ~EventWait();

  /// Ends the current wait, or the next one when none is in progress, so a
  /// wake-up sent just before the main thread goes to sleep is not lost.
  /// Callable from any thread.
  virtual void wake() = 0;

  /// Waits for `fds` to become readable (or hung up), for `wake`, or for
  /// `timeout` (no limit when absent; zero only polls). Returns the
  /// descriptors that are ready, in the order given.
  virtual std::vector<int> wait(const std::vector<int>& fds,
                                std::optional<std::chrono::nanoseconds> timeout) = 0;
};

/// The platform's wait; null when the system refuses the resources it needs.
std::unique_ptr<EventWait> makeEventWait();

}  // namespace wf::host
