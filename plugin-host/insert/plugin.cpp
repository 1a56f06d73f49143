#include "insert/plugin.h"

#include <cstring>

#include "base/source/fobject.h"
#include "hosting/factory.h"
#include "pluginterfaces/vst/ivstmidicontrollers.h"
#include "public.sdk/source/common/memorystream.h"

namespace wf::host {

using nlohmann::json;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// A state member's bytes ("component" or "controller") in a memory stream.
IPtr<MemoryStream> streamOf(const json& bytes) {
  const auto values = bytes.get<std::vector<uint8_t>>();
  auto stream = owned(new MemoryStream());
  int32 written = 0;
  if (!values.empty()) {
    stream->write(const_cast<uint8_t*>(values.data()), static_cast<int32>(values.size()), &written);
  }
  int64 position = 0;
  stream->seek(0, IBStream::kIBSeekSet, &position);
  return stream;
}

}  // namespace

Plugin::Plugin() = default;

Plugin::~Plugin() {
  twin.reset();
  if (view) {
    view->removed();
    view->setFrame(nullptr);
  }
  if (frame.window) {
    frame.window->hide();
    frame.window->close();
    frame.window.reset();
  }
  if (active) {
    processor->setProcessing(false);
    component->setActive(false);
    active = false;
  }
  if (controller) {
    controller->setComponentHandler(nullptr);
  }
  dryDelay.clear();
  descriptor = json();
  processData.unprepare();
  view = nullptr;
  processor = nullptr;
  controller = nullptr;
  component = nullptr;
  provider.reset();
  module.reset();
}

std::string Plugin::displayName(const json& descriptor) {
  if (descriptor.is_object()) {
    auto name = descriptor.find("name");
    if (name != descriptor.end() && name->is_string()) {
      return name->get<std::string>();
    }
  }
  return "VST3 effect";
}

uint32_t Plugin::latency() {
  return processor ? processor->getLatencySamples() : 0;
}

void Plugin::load(const json& source, double sampleRate) {
  setUp(source, sampleRate, false);
  if (mono) {
    twin = std::make_unique<Plugin>();
    twin->handler.wake = handler.wake;
    twin->setUp(source, sampleRate, true);
    ProcessData& right = twin->processData.data();
    right.inputParameterChanges = &handler.inputChanges;
    right.inputEvents = &events;
  }

  // The dry delay line gets its room here, off the audio worker.
  reportedLatency.store(latency());
  dryDelay.reserve(2 * static_cast<size_t>(reportedLatency.load()));

  std::vector<float> silence(2 * MAX_FRAMES, 0.0f);
  process(silence, json::array(), 120.0, 0.0, false);
  latencyAdopted.store(false);
}

void Plugin::followLatency(uint64_t others, uint64_t maxTotal) {
  std::lock_guard<std::recursive_mutex> hold(lock);
  if (!active || processor->getLatencySamples() == reportedLatency.load()) {
    return;
  }
  if (!reactivate() || (twin && !twin->reactivate())) {
    handler.restartRequested.exchange(true);
    return;
  }
  const uint32_t now = processor->getLatencySamples();
  if (now == reportedLatency.load()) {
    return;
  }
  if (others + now > maxTotal) {
    handler.restartRequested.exchange(true);
    return;
  }
  const size_t delay = 2 * static_cast<size_t>(now);
  dryDelay.reserve(delay);
  dryDelay.trimTo(delay);
  reportedLatency.store(now);
  latencyAdopted.store(true);
}

bool Plugin::reactivate() {
  processor->setProcessing(false);
  component->setActive(false);
  if (component->setActive(true) != kResultOk) {
    active = false;
    return false;
  }
  processor->setProcessing(true);
  return true;
}

void Plugin::growDryDelay() {
  std::lock_guard<std::recursive_mutex> hold(lock);
  if (processor) {
    dryDelay.reserve(2 * static_cast<size_t>(processor->getLatencySamples()));
  }
}

void Plugin::setUp(const json& source, double sampleRate, bool rightChannel) {
  descriptor = source;
  bypass.exchange(descriptor.value("bypass", false));

  const auto path = descriptor.at("path").get<std::string>();
  std::string error;
  module = hosting::Module::create(path, error);
  if (!module) {
    throw PluginError(error);
  }

  const auto classId = descriptor.at("classId").get<std::string>();
  for (const hosting::ClassInfo& info : hosting::classInfos(module->factory())) {
    if (info.idString() != classId) {
      continue;
    }
    provider = std::make_unique<hosting::PlugProvider>(module, info);
    if (!provider->initialize()) {
      throw PluginError("Plugin initialization failed");
    }
    break;
  }
  if (!provider) {
    throw PluginError("VST3 class missing");
  }

  component = provider->component();
  controller = provider->controller();
  IAudioProcessor* audio = nullptr;
  if (component->queryInterface(IAudioProcessor::iid, reinterpret_cast<void**>(&audio)) ==
          kResultOk &&
      audio != nullptr) {
    processor = owned(audio);
  }
  if (!processor || !controller) {
    throw PluginError("Not an audio effect");
  }
  controller->setComponentHandler(&handler);
  followProcessor();

  if (processor->canProcessSampleSize(kSample32) != kResultOk) {
    throw PluginError("Unsupported sample format");
  }
  instrument = descriptor.value("instrument", false);
  checkBuses(rightChannel);

  auto stateMember = descriptor.find("state");
  if (stateMember != descriptor.end() && stateMember->is_object()) {
    restoreState(*stateMember);
  }
  mapMidiControllers();
  prepareBuffers(sampleRate);
  activate();
}

void Plugin::followProcessor() {
  // The controller starts from the processor's own values, which may differ
  // from its declared defaults; a saved state restored next overrides both.
  auto stream = owned(new MemoryStream());
  if (component->getState(stream) != kResultOk) {
    return;
  }
  int64 position = 0;
  stream->seek(0, IBStream::kIBSeekSet, &position);
  controller->setComponentState(stream);
}

void Plugin::checkBuses(bool rightChannel) {
  const int32 audioIns = component->getBusCount(kAudio, kInput);
  const int32 audioOuts = component->getBusCount(kAudio, kOutput);
  if (audioOuts < 1 || (!instrument && audioIns < 1)) {
    throw PluginError("Audio output required");
  }
  if (instrument && component->getBusCount(kEvent, kInput) < 1) {
    throw PluginError("Instrument has no MIDI event input");
  }

  // Only the main buses carry the stereo block. Auxiliary buses (a mono
  // sidechain, extra outputs) keep the arrangement they report, since asking
  // them for stereo makes many effects refuse the whole request.
  std::vector<SpeakerArrangement> ins(static_cast<size_t>(std::max(audioIns, 0)));
  std::vector<SpeakerArrangement> outs(static_cast<size_t>(audioOuts));
  auto arrange = [&](SpeakerArrangement main, BusDirection direction,
                     std::vector<SpeakerArrangement>& arrangements) {
    for (size_t i = 0; i < arrangements.size(); ++i) {
      arrangements[i] = main;
      if (i > 0) {
        arrangements[i] = SpeakerArr::kStereo;
        processor->getBusArrangement(direction, static_cast<int32>(i), arrangements[i]);
      }
    }
  };
  auto accepts = [&](SpeakerArrangement main) {
    arrange(main, kInput, ins);
    arrange(main, kOutput, outs);
    return processor->setBusArrangements(ins.data(), audioIns, outs.data(), audioOuts) == kResultOk;
  };
  // A mono-only effect runs as two instances, one per channel; instruments
  // keep to stereo.
  if (!rightChannel && accepts(SpeakerArr::kStereo)) {
    mono = false;
  } else if (!instrument && accepts(SpeakerArr::kMono)) {
    mono = true;
  } else {
    throw PluginError("Stereo input/output required");
  }
  for (int32 i = 0; i < audioIns; ++i) {
    component->activateBus(kAudio, kInput, i, i == 0);
  }
  for (int32 i = 0; i < audioOuts; ++i) {
    component->activateBus(kAudio, kOutput, i, i == 0);
  }
}

void Plugin::restoreState(const json& state) {
  if (auto bytes = state.find("component"); bytes != state.end()) {
    IPtr<MemoryStream> stream = streamOf(*bytes);
    if (component->setState(stream) != kResultOk) {
      throw PluginError("State restore failed");
    }
    int64 position = 0;
    stream->seek(0, IBStream::kIBSeekSet, &position);
    controller->setComponentState(stream);
  }
  if (auto bytes = state.find("controller"); bytes != state.end()) {
    IPtr<MemoryStream> stream = streamOf(*bytes);
    controller->setState(stream);
  }
}

void Plugin::mapMidiControllers() {
  midiMap.clear();
  if (!instrument) {
    return;
  }
  component->activateBus(kEvent, kInput, 0, true);
  IMidiMapping* mapping = nullptr;
  if (controller->queryInterface(IMidiMapping::iid, reinterpret_cast<void**>(&mapping)) !=
          kResultOk ||
      mapping == nullptr) {
    return;
  }
  for (int channel = 0; channel < MidiControllerMap::CHANNELS; ++channel) {
    for (int number = 0; number < MidiControllerMap::CONTROLLERS; ++number) {
      ParamID id = kNoParamId;
      if (mapping->getMidiControllerAssignment(0, static_cast<int16>(channel),
                                               static_cast<CtrlNumber>(number), id) == kResultOk) {
        midiMap.set(channel, number, id);
      }
    }
  }
  mapping->release();
}

void Plugin::prepareBuffers(double sampleRate) {
  ProcessSetup setup{kRealtime, kSample32, MAX_FRAMES, sampleRate};
  if (processor->setupProcessing(setup) != kResultOk) {
    throw PluginError("Setup failed");
  }
  if (!processData.prepare(*component, MAX_FRAMES, kSample32)) {
    throw PluginError("Buffers unavailable");
  }
  ProcessData& data = processData.data();
  const int32 width = mono ? 1 : 2;
  const bool outputOk = data.numOutputs >= 1 && data.outputs[0].numChannels == width;
  const bool inputOk = instrument || (data.numInputs >= 1 && data.inputs[0].numChannels == width);
  if (!outputOk || !inputOk) {
    throw PluginError("Unsupported bus layout");
  }

  dry.reserve(2 * MAX_FRAMES);

  processContext = ProcessContext{};
  processContext.sampleRate = sampleRate;
  processContext.tempo = 120.0;
  processContext.timeSigNumerator = 4;
  processContext.timeSigDenominator = 4;
  processContext.state = LOAD_CONTEXT_FLAGS;
  data.processContext = &processContext;
  data.inputParameterChanges = &handler.inputChanges;
  data.inputEvents = &events;
  data.outputParameterChanges = &outputChanges;
  data.outputEvents = &outputEvents;
  data.processMode = kRealtime;
}

void Plugin::activate() {
  if (component->setActive(true) != kResultOk) {
    throw PluginError("Activation failed");
  }
  active = true;
  processor->setProcessing(true);
  handler.restartRequested.exchange(false);
}

}  // namespace wf::host
