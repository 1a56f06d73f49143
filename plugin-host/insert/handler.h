#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "hosting/parameter_changes.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace wf::host {

/// The component handler an insert gives its edit controller. Edits made in
/// the plug-in's own editor (performEdit) become points of the insert's input
/// parameter changes, taken under the insert's recursive lock so that they
/// land between blocks; restart requests for a reload or an I/O change set the
/// restart-requested flag, after which the insert refuses every block until
/// the chain is loaded again. A latency change alone is not a reason to
/// refuse: it sets the latency-changed flag and wakes the main thread, which
/// re-reads the latency and has the insert follow it.
///
/// Lives inside its insert (`Plugin`) and counts no references.
class Handler final : public Steinberg::Vst::IComponentHandler {
 public:
  /// Restart flags that make an insert unusable until it is reloaded:
  /// kReloadComponent | kIoChanged.
  static constexpr Steinberg::int32 RESTART_MASK =
      Steinberg::Vst::kReloadComponent | Steinberg::Vst::kIoChanged;
  static_assert(RESTART_MASK == 0x3);
  /// Parameter queues made in advance.
  static constexpr Steinberg::int32 QUEUES_IN_ADVANCE = 32768;

  explicit Handler(std::recursive_mutex& insertLock);

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

  Steinberg::tresult PLUGIN_API beginEdit(Steinberg::Vst::ParamID) override;
  Steinberg::tresult PLUGIN_API performEdit(Steinberg::Vst::ParamID id,
                                            Steinberg::Vst::ParamValue value) override;
  Steinberg::tresult PLUGIN_API endEdit(Steinberg::Vst::ParamID) override;
  Steinberg::tresult PLUGIN_API restartComponent(Steinberg::int32 flags) override;

  /// Set by restartComponent; read by every block; cleared at activation.
  std::atomic<bool> restartRequested{false};
  /// Set by restartComponent with kLatencyChanged; taken by the main thread.
  std::atomic<bool> latencyChanged{false};
  /// Wakes the main thread; set before the insert is loaded, may be empty.
  std::function<void()> wake;
  /// The insert's recursive lock, held by a whole block.
  std::recursive_mutex& insertLock;
  /// Points for the next block. Touch only with insertLock held.
  hosting::ParameterChanges inputChanges{QUEUES_IN_ADVANCE};
};

}  // namespace wf::host
