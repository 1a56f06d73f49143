// One module with several audio classes and subcategory variants, for scans:
// an effect ("Fx"), an instrument whose "Instrument" comes after another
// subcategory ("Fx|Instrument"), their shared controller (not an audio class),
// a class with "instrument" in lower case only and no vendor, and an effect
// whose name and vendor are Latin-1, not UTF-8.
#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID EFFECT_ID = testClassId(4, 1);
const FUID SYNTH_ID = testClassId(4, 2);
const FUID CONTROLLER_ID = testClassId(4, 3);
const FUID LOWER_ID = testClassId(4, 4);
const FUID LATIN1_ID = testClassId(4, 5);

class PassProcessor final : public Processor {
 public:
  explicit PassProcessor(bool instrument) : instrument_(instrument) {
    setControllerClass(CONTROLLER_ID);
  }
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = Processor::initialize(context);
    if (result == kResultOk) {
      if (instrument_) {
        addEventInput();
      } else {
        addAudioInput();
      }
      addAudioOutput();
    }
    return result;
  }
  tresult PLUGIN_API process(ProcessData& data) override {
    passThrough(data);
    return kResultOk;
  }

 private:
  bool instrument_;
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {EFFECT_ID, kVstAudioEffectClass, "Multi Effect", "Fx", "Wrenfield Tests",
       [] { return asComponent(new PassProcessor(false)); }},
      {SYNTH_ID, kVstAudioEffectClass, "Multi Synth", "Fx|Instrument", "Wrenfield Tests",
       [] { return asComponent(new PassProcessor(true)); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Multi Controller", "", "Wrenfield Tests",
       [] { return asController(new EditController); }},
      {LOWER_ID, kVstAudioEffectClass, "Multi Lower", "instrument|Synth", "",
       [] { return asComponent(new PassProcessor(true)); }},
      {LATIN1_ID, kVstAudioEffectClass, "Caf\xE9", "Fx", "M\xFCller",
       [] { return asComponent(new PassProcessor(false)); }},
  };
  return classes;
}

}  // namespace wf::testplugin
