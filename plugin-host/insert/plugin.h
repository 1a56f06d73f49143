#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosting/event_list.h"
#include "hosting/module.h"
#include "hosting/plug_provider.h"
#include "hosting/process_buffers.h"
#include "insert/block_events.h"
#include "insert/delay_line.h"
#include "insert/frame.h"
#include "insert/handler.h"
#include "insert/output_mailbox.h"
#include "pluginterfaces/base/smartpointer.h"
#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

namespace wf::host {

/// A failure of an insert or an operation; what() is the reply's "error" text.
class PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One insert of the chain: one VST3 audio class loaded from its module, set
/// up for stereo blocks of up to 1024 frames, with its host-side objects
/// (`Handler`, `Frame`), process buffers, transport context and the dry delay
/// line that keeps bypass aligned with the plug-in's latency.
///
/// Threads: built (load), changed and destroyed on the main thread; process()
/// runs on the audio worker while the chain lock is held. `lock` is the
/// insert's recursive lock: process() holds it for a whole block, and the main
/// thread takes it alone to add parameter points (handler.inputChanges).
/// getState, getParameterInfo, get/setParamNormalized and editor calls are
/// made on the main thread without it. `bypass` is atomic and needs no lock.
///
/// The fields are public so that the per-insert operations kept in other files
/// (state, bypass, parameters, editor) can reach them; they are declared in
/// the order the teardown relies on.
class Plugin {
 public:
  static constexpr int32_t MAX_FRAMES = 1024;
  static constexpr int32_t EVENT_CAPACITY = 2048;
  /// Output parameter queues made in advance (meters are few).
  static constexpr int32_t OUTPUT_QUEUES_IN_ADVANCE = 64;
  /// Valid-field flags at load: tempo, time signature, continuous time.
  static constexpr uint32_t LOAD_CONTEXT_FLAGS = Steinberg::Vst::ProcessContext::kTempoValid |
                                                 Steinberg::Vst::ProcessContext::kTimeSigValid |
                                                 Steinberg::Vst::ProcessContext::kContTimeValid;
  static_assert(LOAD_CONTEXT_FLAGS == 0x22400);
  /// Valid-field flags of every block: the above plus project time in quarter
  /// notes (kPlaying is added while the transport runs).
  static constexpr uint32_t BLOCK_CONTEXT_FLAGS =
      LOAD_CONTEXT_FLAGS | Steinberg::Vst::ProcessContext::kProjectTimeMusicValid;
  static_assert(BLOCK_CONTEXT_FLAGS == 0x22600);

  Plugin();
  /// Teardown: removes the editor view, closes the window, deactivates,
  /// detaches the handler, frees buffers, then releases processor, controller,
  /// component, provider (which terminates the plug-in) and module. Safe on a
  /// partly loaded insert.
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  /// Sets the insert up from its descriptor ("path", "classId", optional
  /// "name", "bypass", "instrument", "state") at `sampleRate`, ending with one
  /// silent warm-up block. Throws PluginError (or the JSON library's
  /// exception) with the message without the name prefix. Called once.
  void load(const nlohmann::json& descriptor, double sampleRate);

  /// Runs one block of interleaved stereo samples (at most 2048) through the
  /// plug-in in place: events (instruments only), transport, dry delay,
  /// non-finite output check, bypass. Throws PluginError or the JSON library's
  /// exception. Audio worker (and the warm-up block on the main thread).
  void process(std::vector<float>& samples, const nlohmann::json& events, double tempo, double beat,
               bool playing);

  /// The plug-in's current latency in samples.
  uint32_t latency();

  /// Main thread, after the plug-in announced a latency change: re-reads the
  /// latency and, when it differs from the one the insert works with,
  /// restarts processing as the plug-in's host duty for that change asks
  /// (processing off, deactivate, activate, read the latency again,
  /// processing on) and adopts the new value: the dry delay follows it and
  /// the next block reports it (tookNewLatency). `others` is the rest of the
  /// chain's latency: a total above `maxTotal` is not adopted, and the insert
  /// then refuses blocks until it is reloaded, as before. Takes the insert's
  /// lock.
  void followLatency(uint64_t others, uint64_t maxTotal);
  /// Main thread: makes the dry delay line room for the latency the plug-in
  /// reports now, when a block found it too short (delayNeedsRoom).
  void growDryDelay();

  /// The descriptor's "name", or "VST3 effect" when it has none.
  static std::string displayName(const nlohmann::json& descriptor);

  // Per-insert operations of the state and parameter code; they are defined
  // with it (operations/state.cpp), not here.

  /// Fresh state object: "component" bytes and, when the controller gives
  /// them, "controller" bytes.
  nlohmann::json state();
  /// The parameter records of the controller.
  nlohmann::json parameters();

  std::shared_ptr<hosting::Module> module;
  std::unique_ptr<hosting::PlugProvider> provider;
  Steinberg::IPtr<Steinberg::Vst::IComponent> component;
  Steinberg::IPtr<Steinberg::Vst::IEditController> controller;
  Steinberg::IPtr<Steinberg::Vst::IAudioProcessor> processor;
  MidiControllerMap midiMap;
  std::recursive_mutex lock;
  Handler handler{lock};
  hosting::EventList events{EVENT_CAPACITY};
  /// What the plug-in reports from a block: output parameter changes (meters)
  /// and output events, both emptied before every block. The events are
  /// discarded; the last value of each output parameter goes to the mailbox,
  /// which the main thread hands to the controller once per turn.
  hosting::ParameterChanges outputChanges{OUTPUT_QUEUES_IN_ADVANCE};
  hosting::EventList outputEvents{EVENT_CAPACITY};
  OutputMailbox outputMailbox;
  Frame frame;
  Steinberg::IPtr<Steinberg::IPlugView> view;
  hosting::ProcessBuffers processData;
  Steinberg::Vst::ProcessContext processContext{};
  nlohmann::json descriptor;
  DelayLine dryDelay;
  /// The block's dry signal for bypass, sized at load so blocks allocate
  /// nothing.
  std::vector<float> dry;
  std::atomic<bool> bypass{false};
  /// The latency the insert works with: the one at load, then each announced
  /// change it adopted. The chain's total is the sum of these.
  std::atomic<uint32_t> reportedLatency{0};
  /// Set by followLatency when it adopted a new value; the next block takes
  /// it (under the insert lock) and sets tookNewLatency.
  std::atomic<bool> latencyAdopted{false};
  /// The last block was the first to run with a newly adopted latency.
  /// Audio worker.
  bool tookNewLatency = false;
  /// A block found the dry delay line too short for the reported latency;
  /// the main thread grows it (growDryDelay).
  std::atomic<bool> delayNeedsRoom{false};
  bool active = false;
  bool instrument = false;
  /// The main buses are mono: a mono-only effect, loaded twice (dual mono).
  /// This insert is the primary and runs the left channel; `twin` runs the
  /// right one. The primary's controller, state, parameters, latency and
  /// editor are the insert's; the twin reads the primary's input parameter
  /// changes, so every point reaches both processors.
  bool mono = false;
  std::unique_ptr<Plugin> twin;

 private:
  /// Steps of load() up to activation. `rightChannel`: set up the twin of a
  /// dual-mono insert, which must accept the mono arrangement.
  void setUp(const nlohmann::json& descriptor, double sampleRate, bool rightChannel);
  /// Hands the component's state to the controller (results ignored).
  void followProcessor();
  void checkBuses(bool rightChannel);
  void restoreState(const nlohmann::json& state);
  void mapMidiControllers();
  void prepareBuffers(double sampleRate);
  void activate();
  /// Restarts processing after a latency change; false when the plug-in
  /// refuses to be activated again.
  bool reactivate();
  /// Copies the block's channels into the main input bus, starting at
  /// interleaved channel `first` (1 for the twin's right channel).
  void fillInputs(const std::vector<float>& samples, int32_t frames, int32_t first);
  /// Runs the twin's block on the right channel, in step with the primary.
  void processTwin(const std::vector<float>& samples, int32_t frames);
  void clearOutputs(int32_t frames);
  void postOutputParameters();
};

}  // namespace wf::host
