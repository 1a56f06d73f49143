#pragma once

#include <vector>

#include "bridge/core/device_layer.h"

namespace wf::bridge {

/// What RtAudio reports of one device for one direction.
struct RtDeviceFacts {
  unsigned int channels = 0;
  std::vector<unsigned int> sample_rates;
  unsigned int preferred_sample_rate = 0;
  /// RtAudio's native format bits (RTAUDIO_SINT16, RTAUDIO_FLOAT32, ...).
  unsigned long native_formats = 0;
};

/// The configuration ranges of a device as RtAudio describes it: none
/// without channels; otherwise one range per supported rate (minimum equal
/// to maximum; the preferred rate when no rate is listed) and per native
/// format that has a `SampleFormat` (packed 24-bit has none), each with the
/// device's real channel count, since opening more channels fails.
std::vector<ConfigRange> rtaudio_config_ranges(const RtDeviceFacts& facts);

}  // namespace wf::bridge
