#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "pluginterfaces/gui/iplugview.h"

namespace wf::editor {

/// The host run loop that Linux editors need (`Steinberg::Linux::IRunLoop`):
/// a plug-in registers handlers for its descriptors (typically its own X11
/// connection) and timers, and the main loop's pump calls them on the main
/// thread. Handlers are held without references; whoever owns the run loop
/// drops them (`clear`) when the view that registered them goes away.
/// Handlers may register and unregister from inside their callbacks.
class RunLoop final : public Steinberg::Linux::IRunLoop {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  /// `clock` defaults to the steady clock; tests drive their own.
  explicit RunLoop(Clock clock = {});
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop() = default;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  /// No counting: the run loop lives as long as its owner.
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

  Steinberg::tresult PLUGIN_API registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                                     Steinberg::Linux::FileDescriptor fd) override;
  Steinberg::tresult PLUGIN_API
  unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
  Steinberg::tresult PLUGIN_API registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                              Steinberg::Linux::TimerInterval ms) override;
  Steinberg::tresult PLUGIN_API unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;

  /// Appends every registered descriptor.
  void addFds(std::vector<int>& fds) const;
  /// Calls the handler of every registered descriptor listed in `ready`
  /// (readable or hung up), then every timer that is due, each at most once.
  void dispatch(const std::vector<int>& ready);
  /// Time until the earliest timer is due (zero when overdue); none without
  /// timers.
  std::optional<std::chrono::nanoseconds> untilNextTimer() const;
  /// Forgets every handler and timer.
  void clear();
  bool empty() const { return handlers_.empty() && timers_.empty(); }

 private:
  struct FdEntry {
    std::uint64_t serial;
    Steinberg::Linux::IEventHandler* handler;
    int fd;
  };
  struct TimerEntry {
    std::uint64_t serial;
    Steinberg::Linux::ITimerHandler* handler;
    std::chrono::milliseconds interval;
    TimePoint due;
  };

  TimePoint now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }
  template <typename Entries>
  static bool stillRegistered(const Entries& entries, std::uint64_t serial);

  Clock clock_;
  std::uint64_t nextSerial_ = 1;
  std::vector<FdEntry> handlers_;
  std::vector<TimerEntry> timers_;
};

}  // namespace wf::editor
