#include "test_plugin_support.h"

#include <atomic>
#include <cstring>

#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "public.sdk/source/vst/vstbus.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

tresult PLUGIN_API Processor::setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                                 SpeakerArrangement* outputs, int32 numOuts) {
  if (numIns != static_cast<int32>(audioInputs.size()) ||
      numOuts != static_cast<int32>(audioOutputs.size())) {
    return kResultFalse;
  }
  for (int32 i = 0; i < numIns; ++i) {
    if (inputs[i] != SpeakerArr::kStereo) {
      return kResultFalse;
    }
  }
  for (int32 i = 0; i < numOuts; ++i) {
    if (outputs[i] != SpeakerArr::kStereo) {
      return kResultFalse;
    }
  }
  for (auto& bus : audioInputs) {
    static_cast<AudioBus*>(bus.get())->setArrangement(SpeakerArr::kStereo);
  }
  for (auto& bus : audioOutputs) {
    static_cast<AudioBus*>(bus.get())->setArrangement(SpeakerArr::kStereo);
  }
  return kResultOk;
}

tresult PLUGIN_API Processor::getBusArrangement(BusDirection dir, int32 index,
                                                SpeakerArrangement& arr) {
  BusList& list = dir == kInput ? audioInputs : audioOutputs;
  if (index < 0 || index >= static_cast<int32>(list.size())) {
    return kInvalidArgument;
  }
  arr = static_cast<AudioBus*>(list[index].get())->getArrangement();
  return kResultOk;
}

tresult PLUGIN_API Processor::canProcessSampleSize(int32 size) {
  return size == kSample32 ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API Processor::setupProcessing(ProcessSetup& setup) {
  setup_ = setup;
  return kResultOk;
}

tresult PLUGIN_API StereoEffect::initialize(FUnknown* context) {
  const tresult result = Processor::initialize(context);
  if (result == kResultOk) {
    addAudioInput();
    addAudioOutput();
  }
  return result;
}

tresult PLUGIN_API MonoEffect::initialize(FUnknown* context) {
  const tresult result = Processor::initialize(context);
  if (result == kResultOk) {
    addAudioInput(SpeakerArr::kMono);
    addAudioOutput(SpeakerArr::kMono);
  }
  return result;
}

tresult PLUGIN_API MonoEffect::setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                                  SpeakerArrangement* outputs, int32 numOuts) {
  const bool mono = numIns == 1 && numOuts == 1 && inputs[0] == SpeakerArr::kMono &&
                    outputs[0] == SpeakerArr::kMono;
  return mono ? kResultOk : kResultFalse;
}

void Processor::addAudioInput(SpeakerArrangement arrangement) {
  audioInputs.push_back(
      owned(new AudioBus(STR16("Input"), kMain, BusInfo::kDefaultActive, arrangement)));
}

void Processor::addAudioOutput(SpeakerArrangement arrangement) {
  audioOutputs.push_back(
      owned(new AudioBus(STR16("Output"), kMain, BusInfo::kDefaultActive, arrangement)));
}

void Processor::addEventInput(int32 channels) {
  eventInputs.push_back(
      owned(new EventBus(STR16("Events"), kMain, BusInfo::kDefaultActive, channels)));
}

void Processor::passThrough(ProcessData& data) {
  if (data.numOutputs < 1) {
    return;
  }
  AudioBusBuffers& out = data.outputs[0];
  for (int32 c = 0; c < out.numChannels; ++c) {
    const bool haveInput = data.numInputs > 0 && c < data.inputs[0].numChannels;
    for (int32 k = 0; k < data.numSamples; ++k) {
      out.channelBuffers32[c][k] = haveInput ? data.inputs[0].channelBuffers32[c][k] : 0.0f;
    }
  }
}

bool readInt32(IBStream* stream, int32& value) {
  unsigned char bytes[4];
  int32 read = 0;
  if (stream == nullptr || stream->read(bytes, 4, &read) != kResultOk || read != 4) {
    return false;
  }
  value =
      static_cast<int32>(static_cast<uint32>(bytes[0]) | static_cast<uint32>(bytes[1]) << 8 |
                         static_cast<uint32>(bytes[2]) << 16 | static_cast<uint32>(bytes[3]) << 24);
  return true;
}

bool writeInt32(IBStream* stream, int32 value) {
  const auto bits = static_cast<uint32>(value);
  unsigned char bytes[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                            static_cast<unsigned char>(bits >> 16),
                            static_cast<unsigned char>(bits >> 24)};
  int32 written = 0;
  return stream != nullptr && stream->write(bytes, 4, &written) == kResultOk && written == 4;
}

bool readFloat(IBStream* stream, float& value) {
  int32 bits = 0;
  if (!readInt32(stream, bits)) {
    return false;
  }
  std::memcpy(&value, &bits, 4);
  return true;
}

bool writeFloat(IBStream* stream, float value) {
  int32 bits = 0;
  std::memcpy(&bits, &value, 4);
  return writeInt32(stream, bits);
}

bool lastParameterValue(ProcessData& data, ParamID id, double& value) {
  if (data.inputParameterChanges == nullptr) {
    return false;
  }
  bool found = false;
  for (int32 i = 0; i < data.inputParameterChanges->getParameterCount(); ++i) {
    IParamValueQueue* queue = data.inputParameterChanges->getParameterData(i);
    if (queue == nullptr || queue->getParameterId() != id || queue->getPointCount() < 1) {
      continue;
    }
    int32 offset = 0;
    if (queue->getPoint(queue->getPointCount() - 1, offset, value) == kResultOk) {
      found = true;
    }
  }
  return found;
}

namespace {

// The module's factory: a static object whose reference count only tracks the
// host's holds, described from the class table.
class Factory final : public IPluginFactory3 {
 public:
  tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
    if (FUnknownPrivate::iidEqual(iid, IPluginFactory3::iid) ||
        FUnknownPrivate::iidEqual(iid, IPluginFactory2::iid) ||
        FUnknownPrivate::iidEqual(iid, IPluginFactory::iid) ||
        FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
      addRef();
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 PLUGIN_API addRef() override { return ++refs_; }
  uint32 PLUGIN_API release() override { return --refs_; }

  tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
    *info = PFactoryInfo("Wrenfield Tests", "", "", PFactoryInfo::kUnicode);
    return kResultOk;
  }
  int32 PLUGIN_API countClasses() override { return static_cast<int32>(moduleClasses().size()); }
  tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
    const ClassEntry* entry = at(index);
    if (entry == nullptr) {
      return kInvalidArgument;
    }
    TUID cid;
    entry->cid.toTUID(cid);
    *info = PClassInfo(cid, PClassInfo::kManyInstances, entry->category, entry->name);
    return kResultOk;
  }
  tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) override {
    const ClassEntry* entry = at(index);
    if (entry == nullptr) {
      return kInvalidArgument;
    }
    TUID cid;
    entry->cid.toTUID(cid);
    *info = PClassInfo2(cid, PClassInfo::kManyInstances, entry->category, entry->name, 0,
                        entry->subCategories, entry->vendor, "1.0.0", "VST 3.7.2");
    return kResultOk;
  }
  // Class names are described through the 8-bit calls only.
  tresult PLUGIN_API getClassInfoUnicode(int32, PClassInfoW*) override { return kNotImplemented; }
  tresult PLUGIN_API setHostContext(FUnknown* context) override {
    hostContext_ = context;
    return kResultOk;
  }
  FUnknown* hostContext() const { return hostContext_; }

  tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) override {
    *obj = nullptr;
    for (const ClassEntry& entry : moduleClasses()) {
      if (FUnknownPrivate::iidEqual(cid, entry.cid.toTUID())) {
        FUnknown* instance = entry.create();
        if (instance == nullptr) {
          return kResultFalse;
        }
        const tresult result = instance->queryInterface(iid, obj);
        instance->release();
        return result;
      }
    }
    return kNoInterface;
  }

 private:
  const ClassEntry* at(int32 index) const {
    const auto& classes = moduleClasses();
    if (index < 0 || index >= static_cast<int32>(classes.size())) {
      return nullptr;
    }
    return &classes[index];
  }
  std::atomic<uint32> refs_{0};
  std::atomic<FUnknown*> hostContext_{nullptr};
};

Factory factory;

}  // namespace

FUnknown* factoryHostContext() {
  return factory.hostContext();
}

}  // namespace wf::testplugin

extern "C" {

SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) {
  return true;
}

SMTG_EXPORT_SYMBOL bool ModuleExit() {
  return true;
}

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
  wf::testplugin::factory.addRef();
  return &wf::testplugin::factory;
}

}  // extern "C"
