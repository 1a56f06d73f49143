// A stereo effect that delays its signal by a latency it reports: the latency
// in samples comes from its component state (one little-endian int32,
// default 0) or from parameter 0 "Latency" (normalised, x 96000 samples).
#include <vector>

#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(2, 1);
const FUID CONTROLLER_ID = testClassId(2, 2);
constexpr ParamID LATENCY = 0;
constexpr int32 MAX_LATENCY = 96000;

class LatencyProcessor final : public StereoEffect {
 public:
  LatencyProcessor() { setControllerClass(CONTROLLER_ID); }

  uint32 PLUGIN_API getLatencySamples() override { return static_cast<uint32>(latency_); }

  tresult PLUGIN_API setActive(TBool state) override {
    for (auto& line : lines_) {
      line.assign(static_cast<size_t>(latency_) + 1, 0.0f);
    }
    position_ = 0;
    return Processor::setActive(state);
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, LATENCY, value)) {
      setLatency(static_cast<int32>(value * MAX_LATENCY + 0.5));
    }
    passThrough(data);
    if (data.numOutputs < 1 || latency_ == 0) {
      return kResultOk;
    }
    // A ring of latency + 1 frames per channel: write, then read the frame
    // written `latency` frames ago.
    const size_t size = static_cast<size_t>(latency_) + 1;
    AudioBusBuffers& out = data.outputs[0];
    for (int32 k = 0; k < data.numSamples; ++k) {
      const size_t write = position_;
      const size_t read = (position_ + 1) % size;
      for (int32 c = 0; c < out.numChannels && c < 2; ++c) {
        lines_[c][write] = out.channelBuffers32[c][k];
        out.channelBuffers32[c][k] = lines_[c][read];
      }
      position_ = read;
    }
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream* state) override {
    int32 value = 0;
    if (!readInt32(state, value) || value < 0 || value > MAX_LATENCY) {
      return kResultFalse;
    }
    setLatency(value);
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeInt32(state, latency_) ? kResultOk : kResultFalse;
  }

 private:
  void setLatency(int32 value) {
    latency_ = value;
    for (auto& line : lines_) {
      line.assign(static_cast<size_t>(latency_) + 1, 0.0f);
    }
    position_ = 0;
  }

  int32 latency_ = 0;
  std::vector<float> lines_[2];
  size_t position_ = 0;
};

class LatencyController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Latency"), STR16("samples"), 0, 0, ParameterInfo::kCanAutomate,
                              LATENCY);
    }
    return result;
  }
  tresult PLUGIN_API setComponentState(IBStream* state) override {
    int32 value = 0;
    if (!readInt32(state, value)) {
      return kResultFalse;
    }
    return setParamNormalized(LATENCY, static_cast<double>(value) / MAX_LATENCY);
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Latency", "Fx|Delay", "Wrenfield Tests",
       [] { return asComponent(new LatencyProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Latency Controller", "",
       "Wrenfield Tests", [] { return asController(new LatencyController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
