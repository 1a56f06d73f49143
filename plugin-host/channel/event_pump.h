#pragma once

#include <chrono>
#include <optional>
#include <vector>

namespace wf::host {

/// The main loop's user-interface side, called on the main thread only. Each
/// turn starts with `pump`; before the loop sleeps it asks `prepareWait` what
/// can bring work, so the loop sleeps exactly until something can happen.
/// The program's implementation is the desktop's (editor/desktop_event_pump.h).
class EventPump {
 public:
  virtual ~EventPump();

  /// Runs the handlers of the descriptors in `ready` (what the last wait
  /// reported), the timers that are due and every pending window-system
  /// event. Never waits.
  virtual void pump(const std::vector<int>& ready) = 0;

  /// Called right before the loop sleeps: handles what is already queued in
  /// the process (so a wait cannot sleep on events that were read already),
  /// appends the descriptors to watch to `fds` and returns the time until the
  /// earliest timer is due; none when no timer is registered.
  virtual std::optional<std::chrono::nanoseconds> prepareWait(std::vector<int>& fds) = 0;
};

}  // namespace wf::host
