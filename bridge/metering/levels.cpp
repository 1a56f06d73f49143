#include "bridge/metering/levels.h"

#include <cmath>

namespace wf::bridge {

namespace {

constexpr float SCALE_16 = 1.0f / 32768.0f;

inline float to_float(float x) {
  return x;
}
inline float to_float(int16_t v) {
  return static_cast<float>(v) * SCALE_16;
}
inline float to_float(uint16_t v) {
  return static_cast<float>(static_cast<int32_t>(v) - 32768) * SCALE_16;
}

// One sample into its channel's running peak and sum of squares. A NaN
// sample fails the comparison and leaves the peak alone.
template <class T>
inline void accumulate(T sample, float& peak, float& sum) {
  const float x = to_float(sample);
  const float a = std::fabs(x);
  peak = a > peak ? a : peak;
  sum += x * x;
}

}  // namespace

float level(float x) {
  if (x <= 0.00001f) {
    return -70.0f;
  }
  float db = 20.0f * std::log10(x);
  if (db < -70.0f) {
    db = -70.0f;
  }
  if (db > 6.0f) {
    db = 6.0f;
  }
  return db;
}

template <class T>
bool measure_levels_into(std::span<const T> samples, uint16_t channels, MeterScratch& scratch) {
  const size_t n = samples.size();
  const size_t c_count = channels;
  if (c_count == 0 || n < c_count) {
    return false;
  }
  // assign and resize keep the capacity: no allocation once it suffices.
  scratch.peaks.assign(c_count, 0.0f);
  scratch.sums.assign(c_count, 0.0f);
  float* __restrict peak = scratch.peaks.data();
  float* __restrict sum = scratch.sums.data();
  const T* __restrict in = samples.data();

  size_t i = 0;
  for (; i + c_count <= n; i += c_count) {
    for (size_t c = 0; c < c_count; ++c) {
      accumulate(in[i + c], peak[c], sum[c]);
    }
  }
  for (size_t c = 0; i + c < n; ++c) {
    accumulate(in[i + c], peak[c], sum[c]);
  }

  const float frames = static_cast<float>(n / c_count);
  scratch.meters.resize(c_count);
  for (size_t c = 0; c < c_count; ++c) {
    ChannelMeter& m = scratch.meters[c];
    m.channel = c;
    m.peak = level(peak[c]);
    m.rms = level(std::sqrt(sum[c] / frames));
  }
  return true;
}

template <class T>
std::vector<ChannelMeter> measure_levels(std::span<const T> samples, uint16_t channels) {
  MeterScratch scratch;
  if (!measure_levels_into(samples, channels, scratch)) {
    return {};
  }
  return std::move(scratch.meters);
}

template <class T>
void update_meters(std::span<const T> samples, uint16_t channels, SharedState& state,
                   const std::atomic<bool>* halted, MeterScratch* scratch) {
  MeterScratch local;
  MeterScratch& work = scratch ? *scratch : local;
  if (!measure_levels_into(samples, channels, work)) {
    return;
  }
  auto guard = state.lock();
  if (!guard) {
    return;
  }
  // Checked under the lock, which the error callback takes to clear
  // `running`: a buffer measured before a failure cannot undo it.
  if (halted && halted->load()) {
    return;
  }
  BridgeState& s = **guard;
  // The list replaced comes back into the scratch for the next buffer.
  s.meters.swap(work.meters);
  s.running = true;
  s.updated_at = std::chrono::steady_clock::now();
}

template std::vector<ChannelMeter> measure_levels(std::span<const int16_t>, uint16_t);
template std::vector<ChannelMeter> measure_levels(std::span<const uint16_t>, uint16_t);
template std::vector<ChannelMeter> measure_levels(std::span<const float>, uint16_t);
template bool measure_levels_into(std::span<const int16_t>, uint16_t, MeterScratch&);
template bool measure_levels_into(std::span<const uint16_t>, uint16_t, MeterScratch&);
template bool measure_levels_into(std::span<const float>, uint16_t, MeterScratch&);
template void update_meters(std::span<const int16_t>, uint16_t, SharedState&,
                            const std::atomic<bool>*, MeterScratch*);
template void update_meters(std::span<const uint16_t>, uint16_t, SharedState&,
                            const std::atomic<bool>*, MeterScratch*);
template void update_meters(std::span<const float>, uint16_t, SharedState&,
                            const std::atomic<bool>*, MeterScratch*);

}  // namespace wf::bridge
