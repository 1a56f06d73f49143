#include "channel/event_pump.h"
#include "editor/editor_window.h"

namespace wf::host {

namespace {

// Each turn: the editor windows' events, then the editors' run-loop
// descriptors and timers, waiting at most the loop's slice for them.
class DesktopEventPump final : public EventPump {
 public:
  void pump(std::chrono::microseconds maxWait) override { editor::sharedDesktop().pump(maxWait); }
};

}  // namespace

std::unique_ptr<EventPump> makeEventPump() {
  return std::make_unique<DesktopEventPump>();
}

}  // namespace wf::host
