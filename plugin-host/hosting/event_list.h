#pragma once

#include <vector>

#include "pluginterfaces/vst/ivstevents.h"

namespace wf::hosting {

/// The input events of a block, with a fixed capacity: addEvent refuses
/// (kResultFalse) once the list is full. Host-owned, no reference counting.
class EventList final : public Steinberg::Vst::IEventList {
 public:
  explicit EventList(Steinberg::int32 capacity);

  void clear() { events_.clear(); }

  Steinberg::int32 PLUGIN_API getEventCount() override;
  Steinberg::tresult PLUGIN_API getEvent(Steinberg::int32 index, Steinberg::Vst::Event& e) override;
  Steinberg::tresult PLUGIN_API addEvent(Steinberg::Vst::Event& e) override;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

 private:
  size_t capacity_;
  std::vector<Steinberg::Vst::Event> events_;
};

}  // namespace wf::hosting
