#include "hosting/parameter_changes.h"

namespace wf::hosting {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

tresult handOut(FUnknown* self, const TUID iid, const TUID own, void** obj) {
  if (FUnknownPrivate::iidEqual(iid, own) || FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
    *obj = self;
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

}  // namespace

void ParameterValueQueue::reset(ParamID id) {
  id_ = id;
  points_.clear();
}

int32 PLUGIN_API ParameterValueQueue::getPointCount() {
  return static_cast<int32>(points_.size());
}

tresult PLUGIN_API ParameterValueQueue::getPoint(int32 index, int32& sampleOffset,
                                                 ParamValue& value) {
  if (index < 0 || index >= static_cast<int32>(points_.size())) {
    return kResultFalse;
  }
  sampleOffset = points_[index].offset;
  value = points_[index].value;
  return kResultOk;
}

tresult PLUGIN_API ParameterValueQueue::addPoint(int32 sampleOffset, ParamValue value,
                                                 int32& index) {
  // Points are kept sorted by offset; a point at an occupied offset replaces
  // the earlier value there.
  int32 position = 0;
  for (auto& point : points_) {
    if (point.offset == sampleOffset) {
      point.value = value;
      index = position;
      return kResultOk;
    }
    if (point.offset > sampleOffset) {
      break;
    }
    ++position;
  }
  points_.insert(points_.begin() + position, Point{sampleOffset, value});
  index = position;
  return kResultOk;
}

tresult PLUGIN_API ParameterValueQueue::queryInterface(const TUID iid, void** obj) {
  return handOut(this, iid, IParamValueQueue::iid, obj);
}

ParameterChanges::ParameterChanges(int32 queuesInAdvance) {
  queues_.resize(static_cast<size_t>(queuesInAdvance));
}

void ParameterChanges::clearQueue() {
  for (int32 i = 0; i < used_; ++i) {
    queues_[i].clear();
  }
  used_ = 0;
}

void ParameterChanges::addPoint(ParamID id, int32 offset, ParamValue value) {
  int32 index = 0;
  if (IParamValueQueue* queue = addParameterData(id, index)) {
    int32 pointIndex = 0;
    queue->addPoint(offset, value, pointIndex);
  }
}

IParamValueQueue* PLUGIN_API ParameterChanges::getParameterData(int32 index) {
  if (index < 0 || index >= used_) {
    return nullptr;
  }
  return &queues_[index];
}

IParamValueQueue* PLUGIN_API ParameterChanges::addParameterData(const ParamID& id, int32& index) {
  for (int32 i = 0; i < used_; ++i) {
    if (queues_[i].getParameterId() == id) {
      index = i;
      return &queues_[i];
    }
  }
  if (used_ == static_cast<int32>(queues_.size())) {
    queues_.emplace_back();
  }
  queues_[used_].reset(id);
  index = used_++;
  return &queues_[index];
}

tresult PLUGIN_API ParameterChanges::queryInterface(const TUID iid, void** obj) {
  return handOut(this, iid, IParameterChanges::iid, obj);
}

}  // namespace wf::hosting
