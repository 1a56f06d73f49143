#pragma once

#include <chrono>
#include <memory>

namespace wf::host {

/// The main loop's user-interface step, run at the start of every turn on the
/// main thread: dispatch every pending window-system event without waiting,
/// then let the toolkit's timers and sources run for at most `maxWait`
/// (the loop passes 1 ms). It must never block longer than that: commands and
/// the loop's exit wait behind it.
///
/// The build picks one implementation file, which defines makeEventPump():
/// channel/event_pump_idle.cpp (no toolkit: nothing to dispatch, returns at
/// once) unless the editor folder supplies a windowing one through
/// PLUGIN_HOST_PUMP_SOURCES.
class EventPump {
 public:
  virtual ~EventPump();
  virtual void pump(std::chrono::microseconds maxWait) = 0;
};

/// Creates the program's event pump; called once on the main thread at start-up,
/// before any plug-in is loaded.
std::unique_ptr<EventPump> makeEventPump();

}  // namespace wf::host
