// An effect that reports its output level the way plug-in meters do: each
// block it writes the peak of its input to the read-only output parameter 0
// "Level" (two points: 1.0 at the start, then the peak at the last frame, so
// only the last value is the level), and adds one output event. It passes the
// audio through unchanged.
//
// It also counts the blocks it could not report from: an output parameter
// list or output event list that was missing, or not empty at the start of
// the block. Its component state is that count and the number of blocks seen,
// two little-endian int32 values.
#include <algorithm>
#include <cmath>

#include "pluginterfaces/vst/ivstevents.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(7, 1);
const FUID CONTROLLER_ID = testClassId(7, 2);
constexpr ParamID LEVEL = 0;

class MeterProcessor final : public StereoEffect {
 public:
  MeterProcessor() { setControllerClass(CONTROLLER_ID); }

  tresult PLUGIN_API process(ProcessData& data) override {
    ++blocks_;
    passThrough(data);
    IParameterChanges* changes = data.outputParameterChanges;
    IEventList* events = data.outputEvents;
    if (changes == nullptr || events == nullptr || changes->getParameterCount() != 0 ||
        events->getEventCount() != 0) {
      ++missed_;
      return kResultOk;
    }
    float peak = 0.0f;
    for (int32 c = 0; c < data.inputs[0].numChannels; ++c) {
      for (int32 k = 0; k < data.numSamples; ++k) {
        peak = std::max(peak, std::fabs(data.inputs[0].channelBuffers32[c][k]));
      }
    }
    int32 index = 0;
    IParamValueQueue* queue = changes->addParameterData(LEVEL, index);
    if (queue != nullptr) {
      int32 point = 0;
      queue->addPoint(0, 1.0, point);
      queue->addPoint(std::max(data.numSamples - 1, 1), peak, point);
    }
    Event event{};
    event.type = Event::kNoteOffEvent;
    events->addEvent(event);
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeInt32(state, missed_) && writeInt32(state, blocks_) ? kResultOk : kResultFalse;
  }

 private:
  int32 missed_ = 0;
  int32 blocks_ = 0;
};

class MeterController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Level"), nullptr, 0, 0.0, ParameterInfo::kIsReadOnly, LEVEL);
    }
    return result;
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Meter", "Fx|Analyzer", "Wrenfield Tests",
       [] { return asComponent(new MeterProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Meter Controller", "", "Wrenfield Tests",
       [] { return asController(new MeterController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
