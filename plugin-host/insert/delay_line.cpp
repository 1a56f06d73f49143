#include "insert/delay_line.h"

#include <algorithm>

namespace wf::host {

void DelayLine::reserve(size_t samples) {
  if (samples <= ring_.size()) {
    return;
  }
  std::vector<float> grown(samples, 0.0f);
  for (size_t i = 0; i < held_; ++i) {
    grown[i] = ring_[(head_ + i) % ring_.size()];
  }
  ring_.swap(grown);
  head_ = 0;
}

void DelayLine::trimTo(size_t samples) {
  if (held_ <= samples) {
    return;
  }
  head_ = (head_ + (held_ - samples)) % ring_.size();
  held_ = samples;
}

bool DelayLine::run(std::vector<float>& samples, uint32_t latencyFrames) {
  const size_t wanted = 2 * static_cast<size_t>(latencyFrames);
  const size_t target = std::min(wanted, ring_.size());
  if (target == 0 && held_ == 0) {
    return wanted == 0;
  }
  const size_t room = ring_.size();
  size_t tail = (head_ + held_) % room;
  for (float& sample : samples) {
    if (held_ < target) {
      // Filling up: the sample goes in, silence comes out.
      ring_[tail] = sample;
      tail = tail + 1 == room ? 0 : tail + 1;
      ++held_;
      sample = 0.0f;
    } else {
      // Steady: the oldest comes out, the sample takes its turn. The line
      // keeps its length even above the target (the latency fell).
      const float oldest = ring_[head_];
      ring_[tail] = sample;
      tail = tail + 1 == room ? 0 : tail + 1;
      head_ = head_ + 1 == room ? 0 : head_ + 1;
      sample = oldest;
    }
  }
  return target == wanted;
}

void DelayLine::clear() {
  ring_.clear();
  ring_.shrink_to_fit();
  head_ = 0;
  held_ = 0;
}

}  // namespace wf::host
