#pragma once

#include <deque>
#include <vector>

#include "pluginterfaces/vst/ivstparameterchanges.h"

namespace wf::hosting {

/// One parameter's points for one block. A point at an offset that already
/// holds one replaces its value; points otherwise keep the order they were
/// added in. Host-owned, no reference counting.
class ParameterValueQueue final : public Steinberg::Vst::IParamValueQueue {
 public:
  explicit ParameterValueQueue(Steinberg::Vst::ParamID id = 0) : id_(id) {}

  void reset(Steinberg::Vst::ParamID id);
  void clear() { points_.clear(); }

  Steinberg::Vst::ParamID PLUGIN_API getParameterId() override { return id_; }
  Steinberg::int32 PLUGIN_API getPointCount() override;
  Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                         Steinberg::Vst::ParamValue& value) override;
  Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32 sampleOffset,
                                         Steinberg::Vst::ParamValue value,
                                         Steinberg::int32& index) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

 private:
  struct Point {
    Steinberg::int32 offset;
    Steinberg::Vst::ParamValue value;
  };
  Steinberg::Vst::ParamID id_;
  std::vector<Point> points_;
};

/// The input parameter changes of a block: a pool of queues made in advance
/// (more are added when a block touches more parameters), of which the first
/// getParameterCount() are in use, one per parameter ID. Not thread-safe: the
/// insert's lock guards it.
class ParameterChanges final : public Steinberg::Vst::IParameterChanges {
 public:
  explicit ParameterChanges(Steinberg::int32 queuesInAdvance);

  /// Empties every queue in use and marks them all unused.
  void clearQueue();
  /// Adds (offset, value) to the queue of `id`, taking a queue for it if none
  /// is in use yet.
  void addPoint(Steinberg::Vst::ParamID id, Steinberg::int32 offset,
                Steinberg::Vst::ParamValue value);

  Steinberg::int32 PLUGIN_API getParameterCount() override { return used_; }
  Steinberg::Vst::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
  Steinberg::Vst::IParamValueQueue* PLUGIN_API addParameterData(const Steinberg::Vst::ParamID& id,
                                                                Steinberg::int32& index) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

 private:
  // A deque keeps queue addresses stable while more are appended.
  std::deque<ParameterValueQueue> queues_;
  Steinberg::int32 used_ = 0;
};

}  // namespace wf::hosting
