#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bridge/devices/device_layer.h"

namespace wf::bridge {

/// The standard sample rates a device may be offered at besides its own.
inline constexpr uint32_t STANDARD_SAMPLE_RATES[] = {8000,  11025, 16000, 22050,  32000, 44100,
                                                     48000, 88200, 96000, 176400, 192000};

/// The configuration ranges of a device that runs `channels` channels at its
/// own rate `own_rate` and whose sound service converts to any rate from 1
/// up to `max_rate`: one single-rate range for the own rate and for each
/// standard rate up to `max_rate`, ascending by rate, each rate in every
/// format of `formats` in that order. No ranges without channels.
std::vector<ConfigRange> converted_rate_ranges(uint16_t channels, uint32_t own_rate,
                                               uint32_t max_rate,
                                               std::span<const SampleFormat> formats);

}  // namespace wf::bridge
