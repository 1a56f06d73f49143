// A stereo effect for saving, restoring and listing parameters.
//
// Processor: output = input x 2 x "gain" + "offset"; component state holds
// gain and offset as two little-endian floats. Controller parameters, in
// order: 100 "Verstärkung" (gain), 200 whose info cannot be fetched,
// 300 "音量 Offset" (offset), 400 "Echo ↔" (setting it makes the controller
// perform an edit of 300 with the same value through the host's component
// handler, as an editor would), 500 "Meter" (read-only). Controller state:
// the magic "CTL1" and the echo value.
//
// Classes: "State Probe"; "State Probe No Controller State" (the controller
// refuses getState); "State Probe No State" (the component refuses getState).
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(0x51, 1);
const FUID CONTROLLER_ID = testClassId(0x51, 2);
const FUID NO_CONTROLLER_STATE_ID = testClassId(0x51, 3);
const FUID SILENT_CONTROLLER_ID = testClassId(0x51, 4);
const FUID NO_STATE_ID = testClassId(0x51, 5);

constexpr ParamID GAIN = 100, BROKEN = 200, OFFSET = 300, ECHO = 400, METER = 500;
constexpr int32 CONTROLLER_MAGIC = 0x314C5443;  // "CTL1"

class StateProcessor final : public StereoEffect {
 public:
  StateProcessor(const FUID& controller, bool givesState) : givesState_(givesState) {
    setControllerClass(controller);
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, GAIN, value))
      gain_ = static_cast<float>(value);
    if (lastParameterValue(data, OFFSET, value))
      offset_ = static_cast<float>(value);
    passThrough(data);
    if (data.numOutputs > 0) {
      for (int32 c = 0; c < data.outputs[0].numChannels; ++c) {
        for (int32 k = 0; k < data.numSamples; ++k) {
          float& sample = data.outputs[0].channelBuffers32[c][k];
          sample = sample * 2.0f * gain_ + offset_;
        }
      }
    }
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream* state) override {
    float gain = 0, offset = 0;
    if (!readFloat(state, gain) || !readFloat(state, offset))
      return kResultFalse;
    gain_ = gain;
    offset_ = offset;
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    if (!givesState_)
      return kResultFalse;
    return writeFloat(state, gain_) && writeFloat(state, offset_) ? kResultOk : kResultFalse;
  }

 private:
  bool givesState_;
  float gain_ = 0.5f;
  float offset_ = 0.0f;
};

class StateController final : public EditController {
 public:
  explicit StateController(bool givesState) : givesState_(givesState) {}

  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(u"Verst\u00e4rkung", nullptr, 0, 0.5, ParameterInfo::kCanAutomate,
                              GAIN);
      parameters.addParameter(u"Broken", nullptr, 0, 0, ParameterInfo::kCanAutomate, BROKEN);
      parameters.addParameter(u"\u97f3\u91cf Offset", nullptr, 0, 0, ParameterInfo::kCanAutomate,
                              OFFSET);
      parameters.addParameter(u"Echo \u2194", nullptr, 0, 0, ParameterInfo::kCanAutomate, ECHO);
      parameters.addParameter(u"Meter", nullptr, 0, 0.25, ParameterInfo::kIsReadOnly, METER);
    }
    return result;
  }

  tresult PLUGIN_API getParameterInfo(int32 index, ParameterInfo& info) override {
    if (index == 1)
      return kResultFalse;
    return EditController::getParameterInfo(index, info);
  }

  tresult PLUGIN_API setParamNormalized(ParamID id, ParamValue value) override {
    const tresult result = EditController::setParamNormalized(id, value);
    if (id == ECHO && result == kResultOk) {
      EditController::setParamNormalized(OFFSET, value);
      beginEdit(OFFSET);
      performEdit(OFFSET, value);
      endEdit(OFFSET);
    }
    return result;
  }

  tresult PLUGIN_API setComponentState(IBStream* state) override {
    float gain = 0, offset = 0;
    if (!readFloat(state, gain) || !readFloat(state, offset))
      return kResultFalse;
    EditController::setParamNormalized(GAIN, gain);
    EditController::setParamNormalized(OFFSET, offset);
    return kResultOk;
  }

  tresult PLUGIN_API getState(IBStream* state) override {
    if (!givesState_)
      return kResultFalse;
    return writeInt32(state, CONTROLLER_MAGIC) &&
                   writeFloat(state, static_cast<float>(getParamNormalized(ECHO)))
               ? kResultOk
               : kResultFalse;
  }
  tresult PLUGIN_API setState(IBStream* state) override {
    int32 magic = 0;
    float echo = 0;
    if (!readInt32(state, magic) || magic != CONTROLLER_MAGIC || !readFloat(state, echo)) {
      return kResultFalse;
    }
    return EditController::setParamNormalized(ECHO, echo);
  }

 private:
  bool givesState_;
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "State Probe", "Fx", "Wrenfield Tests",
       [] { return asComponent(new StateProcessor(CONTROLLER_ID, true)); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "State Probe Controller", "", "Wrenfield Tests",
       [] { return asController(new StateController(true)); }},
      {NO_CONTROLLER_STATE_ID, kVstAudioEffectClass, "State Probe No Controller State", "Fx",
       "Wrenfield Tests",
       [] { return asComponent(new StateProcessor(SILENT_CONTROLLER_ID, true)); }},
      {SILENT_CONTROLLER_ID, kVstComponentControllerClass, "State Probe Silent Controller", "",
       "Wrenfield Tests", [] { return asController(new StateController(false)); }},
      {NO_STATE_ID, kVstAudioEffectClass, "State Probe No State", "Fx", "Wrenfield Tests",
       [] { return asComponent(new StateProcessor(CONTROLLER_ID, false)); }},
  };
  return classes;
}

}  // namespace wf::testplugin
