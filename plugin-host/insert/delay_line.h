#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace wf::host {

/// The dry signal's delay line, which keeps bypass aligned with a plug-in that
/// reports a latency. Works on interleaved stereo samples: with latency L
/// frames the line holds 2L samples in steady state, and a sample comes out
/// 2L samples after it went in; until the line is full, silence comes out.
/// The line never shrinks: when the latency falls, the delay keeps its length.
class DelayLine {
 public:
  /// Delays `samples` in place by `latencyFrames` frames.
  void run(std::vector<float>& samples, uint32_t latencyFrames);
  size_t size() const { return line_.size(); }
  void clear() {
    line_.clear();
    line_.shrink_to_fit();
  }

 private:
  std::deque<float> line_;
};

}  // namespace wf::host
