// A stereo effect that announces its latency the way many plug-ins do: from
// a thread of its own, with restartComponent(kLatencyChanged), right after
// every activation and after every change of its latency. Its processor
// starts at 480 samples, while its controller declares parameter 0
// "Latency" (normalised, x 96000 samples) with the default 0, so a host that
// does not hand the processor's state to the controller shows 0. The
// component state is the latency as one little-endian int32. Read-only
// parameter 1 "Announcements" counts the announcements made (x 1/1000).
// Bypass is the host's: the effect itself delays its input by its latency.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "test_plugin_support.h"

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(9, 1);
const FUID CONTROLLER_ID = testClassId(9, 2);
constexpr ParamID LATENCY = 0;
constexpr ParamID ANNOUNCEMENTS = 1;
constexpr int32 MAX_LATENCY = 96000;
constexpr int32 START_LATENCY = 480;

// The controller of the one instance a test loads; the processor's thread
// reaches the host's handler through it.
std::mutex controllerLock;
EditController* controller = nullptr;
std::atomic<int> announcements{0};

void announce() {
  std::lock_guard<std::mutex> hold(controllerLock);
  if (controller != nullptr && controller->getComponentHandler() != nullptr) {
    controller->getComponentHandler()->restartComponent(kLatencyChanged);
    announcements.fetch_add(1);
  }
}

class AnnouncerProcessor final : public StereoEffect {
 public:
  AnnouncerProcessor() { setControllerClass(CONTROLLER_ID); }
  ~AnnouncerProcessor() override { joinAnnouncer(); }

  uint32 PLUGIN_API getLatencySamples() override { return static_cast<uint32>(latency_.load()); }

  tresult PLUGIN_API setActive(TBool state) override {
    joinAnnouncer();
    resetLines();
    const tresult result = Processor::setActive(state);
    if (state) {
      startAnnouncer();
    }
    return result;
  }

  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, LATENCY, value)) {
      const auto latency = static_cast<int32>(value * MAX_LATENCY + 0.5);
      if (latency != latency_.load()) {
        latency_.store(latency);
        resetLines();
        joinAnnouncer();
        startAnnouncer();
      }
    }
    passThrough(data);
    const int32 latency = latency_.load();
    if (data.numOutputs < 1 || latency == 0) {
      return kResultOk;
    }
    const size_t size = static_cast<size_t>(latency) + 1;
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
    latency_.store(value);
    resetLines();
    return kResultOk;
  }
  tresult PLUGIN_API getState(IBStream* state) override {
    return writeInt32(state, latency_.load()) ? kResultOk : kResultFalse;
  }

 private:
  void resetLines() {
    for (auto& line : lines_) {
      line.assign(static_cast<size_t>(latency_.load()) + 1, 0.0f);
    }
    position_ = 0;
  }
  void startAnnouncer() { announcer_ = std::thread(announce); }
  void joinAnnouncer() {
    if (announcer_.joinable()) {
      announcer_.join();
    }
  }

  std::atomic<int32> latency_{START_LATENCY};
  std::vector<float> lines_[2];
  size_t position_ = 0;
  std::thread announcer_;
};

class AnnouncerController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(STR16("Latency"), STR16("samples"), 0, 0, ParameterInfo::kCanAutomate,
                              LATENCY);
      parameters.addParameter(STR16("Announcements"), nullptr, 0, 0, ParameterInfo::kIsReadOnly,
                              ANNOUNCEMENTS);
      std::lock_guard<std::mutex> hold(controllerLock);
      controller = this;
    }
    return result;
  }
  tresult PLUGIN_API terminate() override {
    {
      std::lock_guard<std::mutex> hold(controllerLock);
      if (controller == this) {
        controller = nullptr;
      }
    }
    return EditController::terminate();
  }
  tresult PLUGIN_API setComponentState(IBStream* state) override {
    int32 value = 0;
    if (!readInt32(state, value)) {
      return kResultFalse;
    }
    return setParamNormalized(LATENCY, static_cast<double>(value) / MAX_LATENCY);
  }
  ParamValue PLUGIN_API getParamNormalized(ParamID id) override {
    if (id == ANNOUNCEMENTS) {
      return announcements.load() / 1000.0;
    }
    return EditController::getParamNormalized(id);
  }
  tresult PLUGIN_API setComponentHandler(IComponentHandler* handler) override {
    // The announcing thread reads the handler under the same lock.
    std::lock_guard<std::mutex> hold(controllerLock);
    return EditController::setComponentHandler(handler);
  }
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Test Announcer", "Fx|Delay", "Wrenfield Tests",
       [] { return asComponent(new AnnouncerProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Test Announcer Controller", "",
       "Wrenfield Tests", [] { return asController(new AnnouncerController); }},
  };
  return classes;
}

}  // namespace wf::testplugin
