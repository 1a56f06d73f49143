// One module whose classes each misbehave in one way the host must handle.
// Every class is a stereo pass-through effect with the module's controller
// unless its fault says otherwise:
//   1 "NaN"            writes NaN once its input is not silent
//   2 "Restart"        asks for a restart on its second block, through its
//                      controller; the flags are its state (one int32,
//                      default kLatencyChanged)
//   3 "No Setup"       refuses setupProcessing
//   4 "No Controller"  names no controller class
//   5 "No Input"       has an audio output bus only
//   6 "No Stereo"      refuses every bus arrangement
//   7 "No State"       refuses setState
//   8 "No Float"       refuses 32-bit samples
//   9 "No Activation"  refuses setActive(true)
//  10 "Slow"           takes the milliseconds in its state (one int32,
//                      default 1000) to set up
//  11 "Fail Process"   refuses process once its input is not silent
//  12 "Mono"           accepts the stereo arrangement but keeps mono buses
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "pluginterfaces/vst/ivstmessage.h"
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID CONTROLLER_ID = testClassId(5, 0x10);

enum Fault : uint32 {
  NAN_OUTPUT = 1,
  RESTART,
  NO_SETUP,
  NO_CONTROLLER,
  NO_INPUT,
  NO_STEREO,
  NO_STATE,
  NO_FLOAT,
  NO_ACTIVATION,
  SLOW,
  FAIL_PROCESS,
  MONO,
};

bool silent(const ProcessData& data) {
  if (data.numInputs < 1) {
    return true;
  }
  for (int32 c = 0; c < data.inputs[0].numChannels; ++c) {
    for (int32 k = 0; k < data.numSamples; ++k) {
      if (data.inputs[0].channelBuffers32[c][k] != 0.0f) {
        return false;
      }
    }
  }
  return true;
}

class FaultProcessor final : public Processor {
 public:
  explicit FaultProcessor(Fault fault) : fault_(fault) {
    if (fault_ != NO_CONTROLLER) {
      setControllerClass(CONTROLLER_ID);
    }
    number_ = fault_ == RESTART ? kLatencyChanged : 1000;
  }

  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = Processor::initialize(context);
    if (result == kResultOk) {
      const SpeakerArrangement arrangement =
          fault_ == MONO ? SpeakerArr::kMono : SpeakerArr::kStereo;
      if (fault_ != NO_INPUT) {
        addAudioInput(arrangement);
      }
      addAudioOutput(arrangement);
    }
    return result;
  }

  tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                        SpeakerArrangement* outputs, int32 numOuts) override {
    if (fault_ == NO_STEREO) {
      return kResultFalse;
    }
    if (fault_ == MONO) {
      return kResultOk;
    }
    return Processor::setBusArrangements(inputs, numIns, outputs, numOuts);
  }

  tresult PLUGIN_API canProcessSampleSize(int32 size) override {
    return fault_ == NO_FLOAT ? kResultFalse : Processor::canProcessSampleSize(size);
  }

  tresult PLUGIN_API setupProcessing(ProcessSetup& setup) override {
    if (fault_ == NO_SETUP) {
      return kResultFalse;
    }
    if (fault_ == SLOW) {
      std::this_thread::sleep_for(std::chrono::milliseconds(number_));
    }
    return Processor::setupProcessing(setup);
  }

  tresult PLUGIN_API setActive(TBool state) override {
    if (fault_ == NO_ACTIVATION && state) {
      return kResultFalse;
    }
    return Processor::setActive(state);
  }

  tresult PLUGIN_API setState(IBStream* state) override {
    if (fault_ == NO_STATE) {
      return kResultFalse;
    }
    int32 value = 0;
    if (readInt32(state, value)) {
      number_ = value;
    }
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeInt32(state, number_) ? kResultOk : kResultFalse;
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    ++blocks_;
    if (fault_ == FAIL_PROCESS && !silent(data)) {
      return kResultFalse;
    }
    passThrough(data);
    if (fault_ == NAN_OUTPUT && !silent(data) && data.numOutputs > 0) {
      data.outputs[0].channelBuffers32[1][data.numSamples - 1] =
          std::numeric_limits<float>::quiet_NaN();
    }
    if (fault_ == RESTART && blocks_ == 2) {
      IPtr<IMessage> message = owned(allocateMessage());
      if (message) {
        message->setMessageID("restart");
        message->getAttributes()->setInt("flags", number_);
        sendMessage(message);
      }
    }
    return kResultOk;
  }

 private:
  Fault fault_;
  int32 number_;
  int32 blocks_ = 0;
};

// Passes a component's restart request on to the host's component handler.
class FaultController final : public EditController {
 public:
  tresult PLUGIN_API notify(IMessage* message) override {
    if (message != nullptr && FIDStringsEqual(message->getMessageID(), "restart")) {
      int64 flags = 0;
      message->getAttributes()->getInt("flags", flags);
      if (IComponentHandler* handler = getComponentHandler()) {
        handler->restartComponent(static_cast<int32>(flags));
      }
      return kResultOk;
    }
    return EditController::notify(message);
  }
};

template <Fault F>
FUnknown* create() {
  return asComponent(new FaultProcessor(F));
}

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {testClassId(5, NAN_OUTPUT), kVstAudioEffectClass, "NaN", "Fx", "", create<NAN_OUTPUT>},
      {testClassId(5, RESTART), kVstAudioEffectClass, "Restart", "Fx", "", create<RESTART>},
      {testClassId(5, NO_SETUP), kVstAudioEffectClass, "No Setup", "Fx", "", create<NO_SETUP>},
      {testClassId(5, NO_CONTROLLER), kVstAudioEffectClass, "No Controller", "Fx", "",
       create<NO_CONTROLLER>},
      {testClassId(5, NO_INPUT), kVstAudioEffectClass, "No Input", "Fx", "", create<NO_INPUT>},
      {testClassId(5, NO_STEREO), kVstAudioEffectClass, "No Stereo", "Fx", "", create<NO_STEREO>},
      {testClassId(5, NO_STATE), kVstAudioEffectClass, "No State", "Fx", "", create<NO_STATE>},
      {testClassId(5, NO_FLOAT), kVstAudioEffectClass, "No Float", "Fx", "", create<NO_FLOAT>},
      {testClassId(5, NO_ACTIVATION), kVstAudioEffectClass, "No Activation", "Fx", "",
       create<NO_ACTIVATION>},
      {testClassId(5, SLOW), kVstAudioEffectClass, "Slow", "Fx", "", create<SLOW>},
      {testClassId(5, FAIL_PROCESS), kVstAudioEffectClass, "Fail Process", "Fx", "",
       create<FAIL_PROCESS>},
      {testClassId(5, MONO), kVstAudioEffectClass, "Mono", "Fx", "", create<MONO>},
      {CONTROLLER_ID, kVstComponentControllerClass, "Faults Controller", "", "",
       [] { return asController(new FaultController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
