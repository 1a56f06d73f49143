// An instrument with an event input, a stereo output and no audio input. Its
// controller maps MIDI controllers to parameters (channel 0 controller 7 ->
// 100, channel 0 pitch bend -> 101, channel 1 controller 1 -> 102). Every
// block writes a report of what it received into the left output channel,
// one value per frame (the right channel stays silent):
//   0 transport flags, 1 tempo, 2 project time in quarter notes,
//   3 project time in samples, 4 continuous time in samples,
//   5 number of events, 6 number of parameter queues, 7 block size,
//   then per event (while there is room): type, channel, pitch, note ID,
//   velocity, sample offset;
//   then per parameter queue: ID, point count, last point's offset and value.
#include "pluginterfaces/vst/ivstevents.h"
#include "pluginterfaces/vst/ivstmidicontrollers.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(3, 1);
const FUID CONTROLLER_ID = testClassId(3, 2);

class Report {
 public:
  Report(float* out, int32 frames) : out_(out), frames_(frames) {}
  void put(double value) {
    if (next_ < frames_) {
      out_[next_] = static_cast<float>(value);
    }
    ++next_;
  }

 private:
  float* out_;
  int32 frames_;
  int32 next_ = 0;
};

class InstrumentProcessor final : public Processor {
 public:
  InstrumentProcessor() { setControllerClass(CONTROLLER_ID); }

  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = Processor::initialize(context);
    if (result == kResultOk) {
      addEventInput();
      addAudioOutput();
    }
    return result;
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    if (data.numOutputs < 1 || data.outputs[0].numChannels < 1) {
      return kResultOk;
    }
    for (int32 c = 0; c < data.outputs[0].numChannels; ++c) {
      for (int32 k = 0; k < data.numSamples; ++k) {
        data.outputs[0].channelBuffers32[c][k] = 0.0f;
      }
    }
    Report report(data.outputs[0].channelBuffers32[0], data.numSamples);
    const ProcessContext* context = data.processContext;
    report.put(context ? context->state : -1);
    report.put(context ? context->tempo : -1);
    report.put(context ? context->projectTimeMusic : -1);
    report.put(context ? static_cast<double>(context->projectTimeSamples) : -1);
    report.put(context ? static_cast<double>(context->continousTimeSamples) : -1);
    IEventList* events = data.inputEvents;
    IParameterChanges* changes = data.inputParameterChanges;
    const int32 eventCount = events ? events->getEventCount() : 0;
    const int32 queueCount = changes ? changes->getParameterCount() : 0;
    report.put(eventCount);
    report.put(queueCount);
    report.put(data.numSamples);
    for (int32 i = 0; i < eventCount; ++i) {
      Event e{};
      if (events->getEvent(i, e) != kResultOk) {
        continue;
      }
      report.put(e.type);
      if (e.type == Event::kNoteOnEvent) {
        report.put(e.noteOn.channel);
        report.put(e.noteOn.pitch);
        report.put(e.noteOn.noteId);
        report.put(e.noteOn.velocity);
      } else if (e.type == Event::kNoteOffEvent) {
        report.put(e.noteOff.channel);
        report.put(e.noteOff.pitch);
        report.put(e.noteOff.noteId);
        report.put(e.noteOff.velocity);
      } else {
        for (int n = 0; n < 4; ++n) {
          report.put(-1);
        }
      }
      report.put(e.sampleOffset);
    }
    for (int32 i = 0; i < queueCount; ++i) {
      IParamValueQueue* queue = changes->getParameterData(i);
      int32 offset = -1;
      ParamValue value = -1;
      const int32 points = queue ? queue->getPointCount() : 0;
      if (points > 0) {
        queue->getPoint(points - 1, offset, value);
      }
      report.put(queue ? queue->getParameterId() : -1);
      report.put(points);
      report.put(offset);
      report.put(value);
    }
    return kResultOk;
  }

  tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }
  tresult PLUGIN_API getState(IBStream*) override { return kResultOk; }
};

class InstrumentController final : public EditController, public IMidiMapping {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Volume"), nullptr, 0, 1, ParameterInfo::kCanAutomate, 100);
      parameters.addParameter(STR16("Bend"), nullptr, 0, 0.5, ParameterInfo::kCanAutomate, 101);
      parameters.addParameter(STR16("Modulation"), nullptr, 0, 0, ParameterInfo::kCanAutomate, 102);
    }
    return result;
  }

  tresult PLUGIN_API getMidiControllerAssignment(int32 busIndex, int16 channel,
                                                 CtrlNumber midiControllerNumber,
                                                 ParamID& id) override {
    if (busIndex != 0) {
      return kResultFalse;
    }
    if (channel == 0 && midiControllerNumber == kCtrlVolume) {
      id = 100;
    } else if (channel == 0 && midiControllerNumber == kPitchBend) {
      id = 101;
    } else if (channel == 1 && midiControllerNumber == kCtrlModWheel) {
      id = 102;
    } else {
      return kResultFalse;
    }
    return kResultOk;
  }

  OBJ_METHODS(InstrumentController, EditController)
  DEFINE_INTERFACES
  DEF_INTERFACE(IMidiMapping)
  END_DEFINE_INTERFACES(EditController)
  REFCOUNT_METHODS(EditController)
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Instrument", "Instrument|Synth", "Wrenfield Tests",
       [] { return asComponent(new InstrumentProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Instrument Controller", "",
       "Wrenfield Tests", [] { return asController(new InstrumentController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
