// A stereo effect with a second, mono input bus for a sidechain, the layout of
// most compressors and gates. It accepts only that layout (stereo main in and
// out, mono sidechain) and fails any block whose buffers do not match it, so a
// host that asks the sidechain for stereo or leaves it without buffers cannot
// drive it. The output is the main input at half level.
#include "public.sdk/source/vst/vstbus.h"
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(6, 1);
const FUID CONTROLLER_ID = testClassId(6, 2);

class SidechainProcessor final : public Processor {
 public:
  SidechainProcessor() { setControllerClass(CONTROLLER_ID); }

  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = Processor::initialize(context);
    if (result == kResultOk) {
      addAudioInput();
      audioInputs.push_back(owned(new AudioBus(STR16("Sidechain"), kAux, 0, SpeakerArr::kMono)));
      addAudioOutput();
    }
    return result;
  }

  tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                        SpeakerArrangement* outputs, int32 numOuts) override {
    if (numIns != 2 || numOuts != 1 || inputs[0] != SpeakerArr::kStereo ||
        inputs[1] != SpeakerArr::kMono || outputs[0] != SpeakerArr::kStereo) {
      return kResultFalse;
    }
    return kResultOk;
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    if (data.numInputs != 2 || data.inputs[1].numChannels != 1 ||
        data.inputs[1].channelBuffers32 == nullptr ||
        data.inputs[1].channelBuffers32[0] == nullptr) {
      return kResultFalse;
    }
    for (int32 k = 0; k < data.numSamples; ++k) {
      if (data.inputs[1].channelBuffers32[0][k] != 0.0f) {
        return kResultFalse;  // an inactive bus must be silent
      }
    }
    passThrough(data);
    for (int32 c = 0; c < data.outputs[0].numChannels; ++c) {
      for (int32 k = 0; k < data.numSamples; ++k) {
        data.outputs[0].channelBuffers32[c][k] *= 0.5f;
      }
    }
    return kResultOk;
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Sidechain", "Fx|Dynamics", "Wrenfield Tests",
       [] { return asComponent(new SidechainProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Sidechain Controller", "",
       "Wrenfield Tests", [] { return asController(new EditController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
