#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wf::host {

/// The dry signal's delay line, which keeps bypass aligned with a plug-in that
/// reports a latency. Works on interleaved stereo samples: with latency L
/// frames the line holds 2L samples in steady state, and a sample comes out
/// 2L samples after it went in; until the line is full, silence comes out.
/// When the latency falls on its own the delay keeps its length; a latency
/// change the plug-in announces is followed both ways (trimTo).
///
/// The samples live in a ring whose room is made with reserve(), which
/// allocates and so is called at load and on the main thread only; run()
/// never allocates.
class DelayLine {
 public:
  /// Makes room for `samples` samples, keeping what the line holds.
  void reserve(size_t samples);
  /// Drops the oldest samples beyond `samples`, so the delay is that long
  /// from the next sample on.
  void trimTo(size_t samples);
  /// Delays `samples` in place by `latencyFrames` frames. Returns false when
  /// the line lacks room for that delay: it then delays by as much as it has
  /// room for, until reserve() makes more.
  bool run(std::vector<float>& samples, uint32_t latencyFrames);
  size_t size() const { return held_; }
  size_t capacity() const { return ring_.size(); }
  void clear();

 private:
  std::vector<float> ring_;
  /// Index of the oldest sample, and how many the line holds.
  size_t head_ = 0;
  size_t held_ = 0;
};

}  // namespace wf::host
