#pragma once

#include <chrono>
#include <functional>
#include <memory>
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

  /// One pump step: dispatches pending window events, waits at most
  /// `maxWait` (less when a timer is due sooner) for the display's or a run
  /// loop's descriptors, calls the handlers that became ready and the timers
  /// that are due, and dispatches window events again. Returns at once when
  /// there is no display yet and no run loop has anything registered.
  void pump(std::chrono::nanoseconds maxWait);

 private:
  DisplayOpener opener_;
  std::unique_ptr<Display> display_;
  std::vector<RunLoop*> loops_;
};

}  // namespace wf::editor
