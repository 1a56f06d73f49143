#pragma once

// Shared parts of the test plug-ins: a component that is its own audio
// processor (with permissive defaults each plug-in overrides to show its one
// behaviour), a factory built from the module's class table, and small stream
// helpers for state.

#include <vector>

#include "base/source/fobject.h"
#include "pluginterfaces/base/ibstream.h"
#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "public.sdk/source/vst/vstcomponent.h"
#include "public.sdk/source/vst/vsteditcontroller.h"

namespace wf::testplugin {

/// A component with IAudioProcessor: accepts stereo arrangements on every
/// audio bus, 32-bit samples, any setup; reports no latency.
class Processor : public Steinberg::Vst::Component, public Steinberg::Vst::IAudioProcessor {
 public:
  Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                   Steinberg::int32 numIns,
                                                   Steinberg::Vst::SpeakerArrangement* outputs,
                                                   Steinberg::int32 numOuts) override;
  Steinberg::tresult PLUGIN_API getBusArrangement(Steinberg::Vst::BusDirection dir,
                                                  Steinberg::int32 index,
                                                  Steinberg::Vst::SpeakerArrangement& arr) override;
  Steinberg::tresult PLUGIN_API canProcessSampleSize(Steinberg::int32 size) override;
  Steinberg::uint32 PLUGIN_API getLatencySamples() override { return 0; }
  Steinberg::tresult PLUGIN_API setupProcessing(Steinberg::Vst::ProcessSetup& setup) override;
  Steinberg::tresult PLUGIN_API setProcessing(Steinberg::TBool) override {
    return Steinberg::kResultOk;
  }
  Steinberg::uint32 PLUGIN_API getTailSamples() override { return 0; }

  OBJ_METHODS(Processor, Component)
  DEFINE_INTERFACES
  DEF_INTERFACE(IAudioProcessor)
  END_DEFINE_INTERFACES(Component)
  REFCOUNT_METHODS(Component)

 protected:
  void addAudioInput(Steinberg::Vst::SpeakerArrangement arrangement = 3);
  void addAudioOutput(Steinberg::Vst::SpeakerArrangement arrangement = 3);
  void addEventInput(Steinberg::int32 channels = 16);
  /// Copies the first input bus to the first output bus (silence without one).
  static void passThrough(Steinberg::Vst::ProcessData& data);

  Steinberg::Vst::ProcessSetup setup_{};
};

/// A processor with one stereo audio input and one stereo audio output.
class StereoEffect : public Processor {
 public:
  Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
};

/// A processor with one mono audio input and one mono audio output that
/// refuses every other arrangement, as mono-only voice effects do.
class MonoEffect : public Processor {
 public:
  Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
  Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                   Steinberg::int32 numIns,
                                                   Steinberg::Vst::SpeakerArrangement* outputs,
                                                   Steinberg::int32 numOuts) override;
};

/// New objects as the factory hands them out.
inline Steinberg::FUnknown* asComponent(Steinberg::Vst::IComponent* component) {
  return component;
}
inline Steinberg::FUnknown* asController(Steinberg::Vst::IEditController* controller) {
  return controller;
}

/// One class the module's factory offers.
struct ClassEntry {
  Steinberg::FUID cid;
  const char* category;
  const char* name;
  const char* subCategories;
  const char* vendor;
  Steinberg::FUnknown* (*create)();
};

/// The module's class table in factory order; each test plug-in module
/// defines it once.
const std::vector<ClassEntry>& moduleClasses();

/// The host context the host gave the module's factory (IPluginFactory3),
/// or null. A class entry's `create` may return null to refuse creation.
Steinberg::FUnknown* factoryHostContext();

/// Class IDs of the test modules: 5746000M 00000000 00000000 000000CC.
inline Steinberg::FUID testClassId(Steinberg::uint32 module, Steinberg::uint32 cls) {
  return Steinberg::FUID(0x57460000u | module, 0, 0, cls);
}

/// Little-endian 32-bit values in state streams.
bool readInt32(Steinberg::IBStream* stream, Steinberg::int32& value);
bool writeInt32(Steinberg::IBStream* stream, Steinberg::int32 value);
bool readFloat(Steinberg::IBStream* stream, float& value);
bool writeFloat(Steinberg::IBStream* stream, float value);

/// The last value of parameter `id` among a block's input changes, if any.
bool lastParameterValue(Steinberg::Vst::ProcessData& data, Steinberg::Vst::ParamID id,
                        double& value);

}  // namespace wf::testplugin
