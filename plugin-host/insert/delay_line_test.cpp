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
  line.reserve(4);
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
  line.reserve(4);
  std::vector<float> block = ramp(8, 1);
  line.run(block, 2);
  std::vector<float> next = ramp(4, 9);
  line.run(next, 1);
  // Still two frames late: the line never shrinks.
  EXPECT_EQ((std::vector<float>{5, 6, 7, 8}), next);
}

TEST(DelayLine, AnnouncedFallTrimsTheOldestSoTheDelayFollows) {
  DelayLine line;
  line.reserve(4);
  std::vector<float> block = ramp(8, 1);
  line.run(block, 2);
  line.trimTo(2);
  std::vector<float> next = ramp(4, 9);
  EXPECT_TRUE(line.run(next, 1));
  // One frame late from here on: 7, 8 were the last frame before 9, 10.
  EXPECT_EQ((std::vector<float>{7, 8, 9, 10}), next);
}

TEST(DelayLine, WithoutRoomItDelaysByWhatItHasUntilReserveMakesMore) {
  DelayLine line;
  line.reserve(2);
  std::vector<float> block = ramp(6, 1);
  EXPECT_FALSE(line.run(block, 2));
  EXPECT_EQ((std::vector<float>{0, 0, 1, 2, 3, 4}), block);
  // Growing keeps what the line holds, in order; the delay then fills up to
  // its full length with silence, as a rise of latency does.
  line.reserve(4);
  std::vector<float> next = ramp(6, 7);
  EXPECT_TRUE(line.run(next, 2));
  EXPECT_EQ((std::vector<float>{0, 0, 5, 6, 7, 8}), next);
}

TEST(DelayLine, RingWrapsAcrossManyBlocks) {
  DelayLine line;
  line.reserve(6);
  float next = 1;
  std::vector<float> out;
  for (int block = 0; block < 7; ++block) {
    std::vector<float> samples = ramp(4, next);
    next += 4;
    EXPECT_TRUE(line.run(samples, 3));
    out.insert(out.end(), samples.begin(), samples.end());
  }
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(i < 6 ? 0.0f : static_cast<float>(i - 5), out[i]) << i;
  }
}

}  // namespace
}  // namespace wf::host
