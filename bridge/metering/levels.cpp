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
std::vector<ChannelMeter> measure_levels(std::span<const T> samples, uint16_t channels) {
  const size_t n = samples.size();
  const size_t c_count = channels;
  if (c_count == 0 || n < c_count) {
    return {};
  }
  std::vector<float> peaks(c_count, 0.0f);
  std::vector<float> sums(c_count, 0.0f);
  float* __restrict peak = peaks.data();
  float* __restrict sum = sums.data();
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
  std::vector<ChannelMeter> meters(c_count);
  for (size_t c = 0; c < c_count; ++c) {
    meters[c].channel = c;
    meters[c].peak = level(peak[c]);
    meters[c].rms = level(std::sqrt(sum[c] / frames));
  }
  return meters;
}

template <class T>
void update_meters(std::span<const T> samples, uint16_t channels, SharedState& state,
                   const std::atomic<bool>* halted) {
  std::vector<ChannelMeter> meters = measure_levels(samples, channels);
  if (meters.empty()) {
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
  s.meters.swap(meters);
  s.running = true;
  s.updated_at = std::chrono::steady_clock::now();
}

template std::vector<ChannelMeter> measure_levels(std::span<const int16_t>, uint16_t);
template std::vector<ChannelMeter> measure_levels(std::span<const uint16_t>, uint16_t);
template std::vector<ChannelMeter> measure_levels(std::span<const float>, uint16_t);
template void update_meters(std::span<const int16_t>, uint16_t, SharedState&,
                            const std::atomic<bool>*);
template void update_meters(std::span<const uint16_t>, uint16_t, SharedState&,
                            const std::atomic<bool>*);
template void update_meters(std::span<const float>, uint16_t, SharedState&,
                            const std::atomic<bool>*);

}  // namespace wf::bridge
