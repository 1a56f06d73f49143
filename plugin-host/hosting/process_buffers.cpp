#include "hosting/process_buffers.h"

namespace wf::hosting {

using namespace Steinberg;
using namespace Steinberg::Vst;

bool ProcessBuffers::prepareSide(IComponent& component, BusDirection direction, Side& side) {
  const int32 count = component.getBusCount(kAudio, direction);
  side.buses.assign(static_cast<size_t>(count > 0 ? count : 0), AudioBusBuffers{});
  side.channelPointers.assign(side.buses.size(), {});
  side.storage.clear();
  for (int32 b = 0; b < count; ++b) {
    BusInfo info{};
    if (component.getBusInfo(kAudio, direction, b, info) != kResultOk || info.channelCount < 0) {
      return false;
    }
    auto& pointers = side.channelPointers[b];
    for (int32 c = 0; c < info.channelCount; ++c) {
      side.storage.emplace_back(static_cast<size_t>(maxSamples_), 0.0f);
      pointers.push_back(side.storage.back().data());
    }
    side.buses[b].numChannels = info.channelCount;
    side.buses[b].silenceFlags = 0;
    side.buses[b].channelBuffers32 = pointers.empty() ? nullptr : pointers.data();
  }
  return true;
}

bool ProcessBuffers::prepare(IComponent& component, int32 maxSamples, int32 symbolicSampleSize) {
  unprepare();
  if (symbolicSampleSize != kSample32 || maxSamples <= 0) {
    return false;
  }
  maxSamples_ = maxSamples;
  if (!prepareSide(component, kInput, inputs_) || !prepareSide(component, kOutput, outputs_)) {
    unprepare();
    return false;
  }
  data_.symbolicSampleSize = kSample32;
  data_.numInputs = static_cast<int32>(inputs_.buses.size());
  data_.numOutputs = static_cast<int32>(outputs_.buses.size());
  data_.inputs = inputs_.buses.empty() ? nullptr : inputs_.buses.data();
  data_.outputs = outputs_.buses.empty() ? nullptr : outputs_.buses.data();
  return true;
}

void ProcessBuffers::unprepare() {
  for (Side* side : {&inputs_, &outputs_}) {
    side->buses.clear();
    side->channelPointers.clear();
    side->storage.clear();
  }
  data_.numInputs = 0;
  data_.numOutputs = 0;
  data_.inputs = nullptr;
  data_.outputs = nullptr;
  maxSamples_ = 0;
}

}  // namespace wf::hosting
