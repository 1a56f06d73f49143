#include "editor/run_loop.h"

#include <algorithm>

namespace wf::editor {

using namespace Steinberg;

RunLoop::RunLoop(Clock clock) : clock_(std::move(clock)) {}

tresult PLUGIN_API RunLoop::queryInterface(const TUID iid, void** obj) {
  if (FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid) ||
      FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
    *obj = static_cast<Linux::IRunLoop*>(this);
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

tresult PLUGIN_API RunLoop::registerEventHandler(Linux::IEventHandler* handler,
                                                 Linux::FileDescriptor fd) {
  if (handler == nullptr || fd < 0) {
    return kInvalidArgument;
  }
  handlers_.push_back({nextSerial_++, handler, fd});
  return kResultOk;
}

tresult PLUGIN_API RunLoop::unregisterEventHandler(Linux::IEventHandler* handler) {
  auto removed = std::erase_if(handlers_, [&](const FdEntry& e) { return e.handler == handler; });
  return removed > 0 ? kResultOk : kInvalidArgument;
}

tresult PLUGIN_API RunLoop::registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval ms) {
  if (handler == nullptr) {
    return kInvalidArgument;
  }
  // A zero interval would fire on every turn; one millisecond is the pump's
  // own granularity anyway.
  auto interval = std::chrono::milliseconds(std::max<Linux::TimerInterval>(ms, 1));
  timers_.push_back({nextSerial_++, handler, interval, now() + interval});
  return kResultOk;
}

tresult PLUGIN_API RunLoop::unregisterTimer(Linux::ITimerHandler* handler) {
  auto removed = std::erase_if(timers_, [&](const TimerEntry& e) { return e.handler == handler; });
  return removed > 0 ? kResultOk : kInvalidArgument;
}

void RunLoop::addFds(std::vector<int>& fds) const {
  for (const auto& entry : handlers_) {
    fds.push_back(entry.fd);
  }
}

template <typename Entries>
bool RunLoop::stillRegistered(const Entries& entries, std::uint64_t serial) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const auto& e) { return e.serial == serial; });
}

void RunLoop::dispatch(const std::vector<int>& ready) {
  // Callbacks may change the registrations, so work from copies and check
  // each entry is still registered before calling it.
  auto handlers = handlers_;
  for (const auto& entry : handlers) {
    const bool isReady = std::find(ready.begin(), ready.end(), entry.fd) != ready.end();
    if (isReady && stillRegistered(handlers_, entry.serial)) {
      entry.handler->onFDIsSet(entry.fd);
    }
  }
  auto current = now();
  std::vector<std::uint64_t> due;
  for (const auto& timer : timers_) {
    if (timer.due <= current) {
      due.push_back(timer.serial);
    }
  }
  for (auto serial : due) {
    auto found = std::find_if(timers_.begin(), timers_.end(),
                              [&](const TimerEntry& e) { return e.serial == serial; });
    if (found == timers_.end()) {
      continue;
    }
    // A late turn does not make the timer catch up with a burst of calls.
    found->due = current + found->interval;
    found->handler->onTimer();
  }
}

std::optional<std::chrono::nanoseconds> RunLoop::untilNextTimer() const {
  if (timers_.empty()) {
    return std::nullopt;
  }
  auto earliest =
      std::min_element(timers_.begin(), timers_.end(),
                       [](const TimerEntry& a, const TimerEntry& b) { return a.due < b.due; })
          ->due;
  return std::max(std::chrono::nanoseconds(0), std::chrono::nanoseconds(earliest - now()));
}

void RunLoop::clear() {
  handlers_.clear();
  timers_.clear();
}

}  // namespace wf::editor
