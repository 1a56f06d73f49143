#include "insert/delay_line.h"

#include <gtest/gtest.h>

namespace wf::host {
namespace {

std::vector<float> ramp(size_t n, float start) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = start + static_cast<float>(i);
  }
  return v;
}

TEST(DelayLine, DelaysInterleavedFramesBySilenceFirst) {
  DelayLine line;
  std::vector<float> first = ramp(8, 1);  // 4 stereo frames
  line.run(first, 2);
  EXPECT_EQ((std::vector<float>{0, 0, 0, 0, 1, 2, 3, 4}), first);
  std::vector<float> second = ramp(8, 9);
  line.run(second, 2);
  EXPECT_EQ((std::vector<float>{5, 6, 7, 8, 9, 10, 11, 12}), second);
  EXPECT_EQ(4u, line.size());
}

TEST(DelayLine, PassesThroughWithoutLatency) {
  DelayLine line;
  std::vector<float> block = ramp(6, 1);
  line.run(block, 0);
  EXPECT_EQ(ramp(6, 1), block);
}

TEST(DelayLine, KeepsItsLengthWhenTheLatencyFalls) {
  DelayLine line;
  std::vector<float> block = ramp(8, 1);
  line.run(block, 2);
  std::vector<float> next = ramp(4, 9);
  line.run(next, 1);
  // Still two frames late: the line never shrinks.
  EXPECT_EQ((std::vector<float>{5, 6, 7, 8}), next);
}

}  // namespace
}  // namespace wf::host
