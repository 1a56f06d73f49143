#pragma once

#include <vector>

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"

namespace wf::hosting {

/// Process data with its own audio buffers: one AudioBusBuffers per audio bus
/// of the component, each channel a buffer of `maxSamples` 32-bit floats,
/// sized once by prepare() so that blocks allocate nothing.
class ProcessBuffers {
 public:
  ProcessBuffers() = default;
  ProcessBuffers(const ProcessBuffers&) = delete;
  ProcessBuffers& operator=(const ProcessBuffers&) = delete;

  /// Sizes the buffers for every audio input and output bus of `component`
  /// with the channel counts its bus infos report now. Only 32-bit samples
  /// are supported; false for any other size or when a bus info is refused.
  bool prepare(Steinberg::Vst::IComponent& component, Steinberg::int32 maxSamples,
               Steinberg::int32 symbolicSampleSize);
  /// Frees every buffer; the data then describes no buses.
  void unprepare();

  Steinberg::Vst::ProcessData& data() { return data_; }
  Steinberg::int32 maxSamples() const { return maxSamples_; }

 private:
  struct Side {
    std::vector<Steinberg::Vst::AudioBusBuffers> buses;
    std::vector<std::vector<float*>> channelPointers;
    std::vector<std::vector<float>> storage;
  };
  bool prepareSide(Steinberg::Vst::IComponent& component, Steinberg::Vst::BusDirection direction,
                   Side& side);

  Steinberg::Vst::ProcessData data_;
  Side inputs_;
  Side outputs_;
  Steinberg::int32 maxSamples_ = 0;
};

}  // namespace wf::hosting
