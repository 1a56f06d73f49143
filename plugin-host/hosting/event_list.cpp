#include "hosting/event_list.h"

namespace wf::hosting {

using namespace Steinberg;
using namespace Steinberg::Vst;

EventList::EventList(int32 capacity) : capacity_(static_cast<size_t>(capacity)) {
  events_.reserve(capacity_);
}

int32 PLUGIN_API EventList::getEventCount() {
  return static_cast<int32>(events_.size());
}

tresult PLUGIN_API EventList::getEvent(int32 index, Event& e) {
  if (index < 0 || index >= static_cast<int32>(events_.size())) {
    return kResultFalse;
  }
  e = events_[index];
  return kResultOk;
}

tresult PLUGIN_API EventList::addEvent(Event& e) {
  if (events_.size() >= capacity_) {
    return kResultFalse;
  }
  events_.push_back(e);
  return kResultOk;
}

tresult PLUGIN_API EventList::queryInterface(const TUID iid, void** obj) {
  if (FUnknownPrivate::iidEqual(iid, IEventList::iid) ||
      FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
    *obj = this;
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

}  // namespace wf::hosting
