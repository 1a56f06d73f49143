// A stereo gain effect with a separate edit controller: parameter 0 "Gain"
// (normalised 0-1, factor 2 x value, so 0.5 is unity) and a component state
// holding that value as one little-endian float.
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

#ifndef WF_REQUIRE_FACTORY_CONTEXT
#define WF_REQUIRE_FACTORY_CONTEXT 0
#endif
constexpr bool REQUIRE_FACTORY_CONTEXT = WF_REQUIRE_FACTORY_CONTEXT;

const FUID PROCESSOR_ID = testClassId(1, 1);
const FUID CONTROLLER_ID = testClassId(1, 2);
constexpr ParamID GAIN = 0;

class GainProcessor final : public StereoEffect {
 public:
  GainProcessor() { setControllerClass(CONTROLLER_ID); }

  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, GAIN, value)) {
      gain_ = static_cast<float>(value);
    }
    passThrough(data);
    if (data.numOutputs > 0) {
      const float factor = 2.0f * gain_;
      for (int32 c = 0; c < data.outputs[0].numChannels; ++c) {
        for (int32 k = 0; k < data.numSamples; ++k) {
          data.outputs[0].channelBuffers32[c][k] *= factor;
        }
      }
    }
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream* state) override {
    float value = 0;
    if (!readFloat(state, value)) {
      return kResultFalse;
    }
    gain_ = value;
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeFloat(state, gain_) ? kResultOk : kResultFalse;
  }

 private:
  float gain_ = 0.5f;
};

class GainController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Gain"), nullptr, 0, 0.5, ParameterInfo::kCanAutomate, GAIN);
    }
    return result;
  }
  tresult PLUGIN_API setComponentState(IBStream* state) override {
    float value = 0;
    if (!readFloat(state, value)) {
      return kResultFalse;
    }
    return setParamNormalized(GAIN, value);
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Gain", "Fx", "Wrenfield Tests",
       []() -> FUnknown* {
         // The gain_context build refuses to work for a host that never gave
         // its factory the host context.
         if (REQUIRE_FACTORY_CONTEXT && factoryHostContext() == nullptr) {
           return nullptr;
         }
         return asComponent(new GainProcessor);
       }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Gain Controller", "", "Wrenfield Tests",
       [] { return asController(new GainController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
