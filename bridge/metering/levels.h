#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "bridge/core/bridge_state.h"

namespace wf::bridge {

/// A level in dBFS: -70.0 at or below 0.00001, else 20 × log10(x) limited to
/// [-70.0, 6.0]; NaN stays NaN.
float level(float x);

/// The peak and RMS level of each of `channels` channels of one buffer of
/// interleaved samples (int16_t, uint16_t or float). RMS divides by the
/// number of whole frames, while a trailing partial frame still counts for
/// its first channels. Empty when the buffer holds less than one frame or
/// `channels` is 0.
template <class T>
std::vector<ChannelMeter> measure_levels(std::span<const T> samples, uint16_t channels);

/// Working storage of one stream's level computation, kept from buffer to
/// buffer: once it has grown to the channel count, measuring allocates
/// nothing (the capture callback runs on the audio thread).
struct MeterScratch {
  std::vector<float> peaks;
  std::vector<float> sums;
  std::vector<ChannelMeter> meters;
};

/// `measure_levels` into `scratch.meters`; false (and nothing measured)
/// when the buffer holds less than one frame or `channels` is 0.
template <class T>
bool measure_levels_into(std::span<const T> samples, uint16_t channels, MeterScratch& scratch);

/// The capture callback's work: measures one buffer and, under the state
/// lock, replaces `meters`, sets `running` and `updated_at`. A buffer shorter
/// than one frame, a poisoned lock, or a set `halted` flag (the stream has
/// failed) changes nothing. With a `scratch`, the replaced meter list goes
/// back into it for the next buffer, so that the steady state allocates
/// nothing.
template <class T>
void update_meters(std::span<const T> samples, uint16_t channels, SharedState& state,
                   const std::atomic<bool>* halted = nullptr, MeterScratch* scratch = nullptr);

}  // namespace wf::bridge
