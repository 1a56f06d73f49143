#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "editor/run_loop.h"
#include "editor/window.h"

namespace wf::editor {

/// The process's window-system side: the display (opened when an editor first
/// needs it) and the run loops of the open editors, serviced together by
/// `pump` on every main-loop turn. Main thread only. Editor windows and run
/// loops must go before the desktop does.
class Desktop {
 public:
  using DisplayOpener = std::function<std::unique_ptr<Display>()>;

  /// `opener` defaults to the session's display (`openDisplay`).
  explicit Desktop(DisplayOpener opener = openDisplay);
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;
  ~Desktop();

  /// The display, opened now if it is not yet; null when none can be opened
  /// (asked again next time, so a display that appears later is found). A
  /// display whose connection was lost is opened afresh once no editor window
  /// is left on it.
  Display* display();

  /// Run loops serviced by `pump`, from `add` until `remove`.
  void add(RunLoop* loop);
  void remove(RunLoop* loop);

  /// One pump step, without waiting: dispatches pending window events, calls
  /// the run-loop handlers of the descriptors in `ready` and the timers that
  /// are due, and dispatches window events again.
  void pump(const std::vector<int>& ready);

  /// Before the main loop sleeps: dispatches the window events already
  /// queued in the process (they would not make the display's descriptor
  /// readable again), appends the display's and the run loops' descriptors to
  /// `fds` and returns the time until the earliest run-loop timer; none
  /// without timers. Without a display and run loops it adds nothing, so the
  /// loop can sleep until a command arrives.
  std::optional<std::chrono::nanoseconds> prepareWait(std::vector<int>& fds);

 private:
  DisplayOpener opener_;
  std::unique_ptr<Display> display_;
  std::vector<RunLoop*> loops_;
};

}  // namespace wf::editor
