#include "insert/delay_line.h"

namespace wf::host {

void DelayLine::run(std::vector<float>& samples, uint32_t latencyFrames) {
  const size_t held = 2 * static_cast<size_t>(latencyFrames);
  for (float& sample : samples) {
    line_.push_back(sample);
    if (line_.size() > held) {
      sample = line_.front();
      line_.pop_front();
    } else {
      sample = 0.0f;
    }
  }
}

}  // namespace wf::host
