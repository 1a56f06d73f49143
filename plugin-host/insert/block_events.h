#pragma once

#include <array>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "pluginterfaces/vst/ivstevents.h"
#include "pluginterfaces/vst/vsttypes.h"

namespace wf::hosting {
class ParameterChanges;
}

namespace wf::host {

/// Which parameter each MIDI controller drives, per channel 0-15 and
/// controller number 0-129 (128 channel pressure, 129 pitch bend);
/// kNoParamId where none.
class MidiControllerMap {
 public:
  static constexpr int CHANNELS = 16;
  static constexpr int CONTROLLERS = 130;
  static constexpr int PITCH_BEND = 129;

  MidiControllerMap() { clear(); }
  void clear();
  void set(int channel, int controller, Steinberg::Vst::ParamID id);
  /// The mapped parameter, or kNoParamId (also for a channel or controller
  /// outside the table).
  Steinberg::Vst::ParamID lookup(int64_t channel, uint64_t controller) const;

 private:
  std::array<std::array<Steinberg::Vst::ParamID, CONTROLLERS>, CHANNELS> ids_{};
};

/// Turns a "process" request's "events" into one block's input: note on
/// ("type" 1) and note off (0) become events on bus 0 with note ID
/// channel * 128 + number; pitch bend (3) and every other type (controllers,
/// compared as unsigned) become a point (offset, value) of the mapped
/// parameter, and are dropped when no parameter is mapped. Events the list
/// has no room for are dropped. Missing or mistyped members raise the JSON
/// library's exceptions; events before the faulty one stay added.
void addBlockEvents(const nlohmann::json& events, const MidiControllerMap& map,
                    Steinberg::Vst::IEventList& eventList, hosting::ParameterChanges& changes);

}  // namespace wf::host
