#pragma once

#include "channel/event_pump.h"
#include "editor/desktop.h"

namespace wf::editor {

/// The main loop's pump over a desktop: its windows' events and the run
/// loops of the open editors.
class DesktopEventPump final : public host::EventPump {
 public:
  explicit DesktopEventPump(Desktop& desktop) : desktop_(desktop) {}

  void pump(const std::vector<int>& ready) override { desktop_.pump(ready); }
  std::optional<std::chrono::nanoseconds> prepareWait(std::vector<int>& fds) override {
    return desktop_.prepareWait(fds);
  }

 private:
  Desktop& desktop_;
};

}  // namespace wf::editor
