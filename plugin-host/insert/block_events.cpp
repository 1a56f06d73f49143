#include "insert/block_events.h"

#include "hosting/parameter_changes.h"

namespace wf::host {

using nlohmann::json;
using namespace Steinberg;
using namespace Steinberg::Vst;

void MidiControllerMap::clear() {
  for (auto& row : ids_) {
    row.fill(kNoParamId);
  }
}

void MidiControllerMap::set(int channel, int controller, ParamID id) {
  if (channel >= 0 && channel < CHANNELS && controller >= 0 && controller < CONTROLLERS) {
    ids_[channel][controller] = id;
  }
}

ParamID MidiControllerMap::lookup(int64_t channel, uint64_t controller) const {
  if (channel < 0 || channel >= CHANNELS || controller >= CONTROLLERS) {
    return kNoParamId;
  }
  return ids_[channel][controller];
}

void addBlockEvents(const json& events, const MidiControllerMap& map, IEventList& eventList,
                    hosting::ParameterChanges& changes) {
  for (const json& item : events) {
    const auto type = item.at("type").get<int64_t>();
    const auto channel = item.value("channel", int64_t{0});
    const auto offset = item.value("offset", int32_t{0});
    const auto number = item.at("number").get<int64_t>();
    const auto value = item.at("value").get<double>();

    if (type == 0 || type == 1) {
      Event e{};
      e.busIndex = 0;
      e.sampleOffset = offset;
      // Unsigned arithmetic: out-of-range channels and numbers wrap instead of
      // overflowing.
      const auto noteId =
          static_cast<int32>(static_cast<uint64_t>(channel) * 128u + static_cast<uint64_t>(number));
      if (type == 1) {
        e.type = Event::kNoteOnEvent;
        e.noteOn.channel = static_cast<int16>(channel);
        e.noteOn.pitch = static_cast<int16>(number);
        e.noteOn.velocity = static_cast<float>(value);
        e.noteOn.tuning = 0;
        e.noteOn.length = 0;
        e.noteOn.noteId = noteId;
      } else {
        e.type = Event::kNoteOffEvent;
        e.noteOff.channel = static_cast<int16>(channel);
        e.noteOff.pitch = static_cast<int16>(number);
        e.noteOff.velocity = 0;
        e.noteOff.noteId = noteId;
        e.noteOff.tuning = 0;
      }
      // A full list refuses the event: it is dropped, the block goes on.
      eventList.addEvent(e);
      continue;
    }
    const uint64_t controller = static_cast<uint64_t>(type) == 3 ? MidiControllerMap::PITCH_BEND
                                                                 : static_cast<uint64_t>(number);
    const ParamID id = map.lookup(channel, controller);
    if (id != kNoParamId) {
      changes.addPoint(id, offset, value);
    }
  }
}

}  // namespace wf::host
