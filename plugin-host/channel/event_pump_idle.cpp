#include "channel/event_pump.h"

namespace wf::host {

namespace {

// Without a window system there are no events to dispatch and no run-loop
// timers, so a pump step is empty and the turn goes straight to the command
// queue, whose own wait bounds the idle turn.
class IdleEventPump final : public EventPump {
 public:
  void pump(std::chrono::microseconds) override {}
};

}  // namespace

std::unique_ptr<EventPump> makeEventPump() {
  return std::make_unique<IdleEventPump>();
}

}  // namespace wf::host
