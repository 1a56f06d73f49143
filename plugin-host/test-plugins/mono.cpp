// A mono-only effect (one mono input bus, one mono output bus; it refuses any
// other arrangement) whose output shows what it has seen: each output sample
// is the running sum of every input sample of its one channel so far, plus
// parameter 0 "Offset" (normalised, default 0). Two channels mixed into one
// instance, or one instance fed both, give other sums. Its component state is
// the offset as one little-endian float.
#include "public.sdk/source/vst/vstbus.h"
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(8, 1);
const FUID CONTROLLER_ID = testClassId(8, 2);
constexpr ParamID OFFSET = 0;

class MonoProcessor final : public MonoEffect {
 public:
  MonoProcessor() { setControllerClass(CONTROLLER_ID); }

  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, OFFSET, value)) {
      offset_ = static_cast<float>(value);
    }
    if (data.numInputs != 1 || data.numOutputs != 1 || data.inputs[0].numChannels != 1 ||
        data.outputs[0].numChannels != 1) {
      return kResultFalse;
    }
    const float* in = data.inputs[0].channelBuffers32[0];
    float* out = data.outputs[0].channelBuffers32[0];
    for (int32 k = 0; k < data.numSamples; ++k) {
      sum_ += in[k];
      out[k] = sum_ + offset_;
    }
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream* state) override {
    float value = 0;
    if (!readFloat(state, value)) {
      return kResultFalse;
    }
    offset_ = value;
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeFloat(state, offset_) ? kResultOk : kResultFalse;
  }

 private:
  float sum_ = 0.0f;
  float offset_ = 0.0f;
};

class MonoController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Offset"), nullptr, 0, 0.0, ParameterInfo::kCanAutomate,
                              OFFSET);
    }
    return result;
  }
  tresult PLUGIN_API setComponentState(IBStream* state) override {
    float value = 0;
    if (!readFloat(state, value)) {
      return kResultFalse;
    }
    return setParamNormalized(OFFSET, value);
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Mono", "Fx|Mono", "Wrenfield Tests",
       [] { return asComponent(new MonoProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Mono Controller", "", "Wrenfield Tests",
       [] { return asController(new MonoController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
