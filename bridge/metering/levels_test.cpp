#include "bridge/metering/levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace wf::bridge {
namespace {

template <class T>
std::vector<ChannelMeter> measure(std::vector<T> samples, uint16_t channels) {
  return measure_levels(std::span<const T>(samples), channels);
}

TEST(Level, Table) {
  const std::pair<float, float> cases[] = {
      {0.0f, -70.0f}, {0.00001f, -70.0f}, {0.0001f, -70.0f}, {0.5f, -6.0206f},
      {1.0f, 0.0f},   {2.0f, 6.0f},       {-1.0f, -70.0f},
  };
  for (auto [x, db] : cases) {
    EXPECT_NEAR(db, level(x), 1e-4) << x;
  }
  EXPECT_TRUE(std::isnan(level(std::numeric_limits<float>::quiet_NaN())));
}

TEST(MeasureLevels, SilenceIsMinus70) {
  auto m = measure(std::vector<float>(512 * 2, 0.0f), 2);
  ASSERT_EQ(2u, m.size());
  for (uint64_t c = 0; c < 2; ++c) {
    EXPECT_EQ(c, m[c].channel);
    EXPECT_EQ(-70.0f, m[c].peak);
    EXPECT_EQ(-70.0f, m[c].rms);
  }
}

TEST(MeasureLevels, FullScaleSquareIsZeroForPeakAndRms) {
  std::vector<float> square;
  for (int i = 0; i < 480; ++i)
    square.push_back(i % 2 ? 1.0f : -1.0f);
  auto m = measure(square, 1);
  EXPECT_EQ(0.0f, m[0].peak);
  EXPECT_EQ(0.0f, m[0].rms);
}

TEST(MeasureLevels, SineOverWholePeriods) {
  // Channel 0: amplitude 1.0; channel 1: amplitude 0.5; 10 periods of 48.
  std::vector<float> s;
  for (int i = 0; i < 480; ++i) {
    const double v = std::sin(2 * std::numbers::pi * i / 48.0);
    s.push_back(static_cast<float>(v));
    s.push_back(static_cast<float>(0.5 * v));
  }
  auto m = measure(s, 2);
  EXPECT_NEAR(0.0, m[0].peak, 0.01);
  EXPECT_NEAR(-3.0103, m[0].rms, 0.01);
  EXPECT_NEAR(-6.0206, m[1].peak, 0.01);
  EXPECT_NEAR(-9.0309, m[1].rms, 0.01);
}

TEST(MeasureLevels, OverRangeIsCutAtSix) {
  auto m = measure(std::vector<float>{4.0f, -4.0f, 4.0f, -4.0f}, 1);
  EXPECT_EQ(6.0f, m[0].peak);
  EXPECT_EQ(6.0f, m[0].rms);
}

TEST(MeasureLevels, SixteenBitConversions) {
  // -32768 is exactly -1.0; unsigned 32768 is 0.0 and unsigned 0 is -1.0.
  auto s = measure(std::vector<int16_t>{-32768, 0}, 2);
  EXPECT_EQ(0.0f, s[0].peak);
  EXPECT_EQ(0.0f, s[0].rms);
  EXPECT_EQ(-70.0f, s[1].peak);
  auto u = measure(std::vector<uint16_t>{32768, 0, 49152}, 3);
  EXPECT_EQ(-70.0f, u[0].peak);
  EXPECT_EQ(-70.0f, u[0].rms);
  EXPECT_EQ(0.0f, u[1].peak);
  EXPECT_NEAR(-6.0206, u[2].peak, 1e-4);
  auto i16 = measure(std::vector<int16_t>{16384, -16384}, 1);
  EXPECT_NEAR(-6.0206, i16[0].rms, 1e-4);
}

TEST(MeasureLevels, TrailingPartialFrameCountsForItsChannelsButNotTheFrameCount) {
  // Two channels, three samples: one whole frame; channel 0 has two samples
  // of 0.5 (sum 0.5 over 1 frame), channel 1 one.
  auto m = measure(std::vector<float>{0.5f, 0.5f, 0.5f}, 2);
  ASSERT_EQ(2u, m.size());
  EXPECT_NEAR(-6.0206, m[0].peak, 1e-4);
  EXPECT_NEAR(-3.0103, m[0].rms, 1e-4);
  EXPECT_NEAR(-6.0206, m[1].rms, 1e-4);
}

TEST(MeasureLevels, NanLeavesPeakAndMakesRmsNan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto m = measure(std::vector<float>{nan, 0.5f, 0.25f, 0.25f}, 2);
  EXPECT_NEAR(-12.0412, m[0].peak, 1e-4);
  EXPECT_TRUE(std::isnan(m[0].rms));
  EXPECT_NEAR(-6.0206, m[1].peak, 1e-4);
}

TEST(MeasureLevels, LessThanOneFrameOrNoChannelsGivesNothing) {
  EXPECT_TRUE(measure(std::vector<float>{0.5f}, 2).empty());
  EXPECT_TRUE(measure(std::vector<float>{}, 1).empty());
  EXPECT_TRUE(measure(std::vector<float>{0.5f}, 0).empty());
}

class UpdateMetersTest : public ::testing::Test {
 protected:
  UpdateMetersTest() {
    auto g = state_.lock();
    (**g).meters = {ChannelMeter{0, -70.0f, -70.0f}};
    (**g).updated_at = since_;
  }
  BridgeState snapshot() {
    auto g = state_.lock();
    return **g;
  }

  SharedState state_;
  std::chrono::steady_clock::time_point since_ =
      std::chrono::steady_clock::now() - std::chrono::seconds(5);
};

TEST_F(UpdateMetersTest, ReplacesMetersAndSetsRunning) {
  std::vector<int16_t> samples = {16384, -16384, 16384, -16384};
  update_meters(std::span<const int16_t>(samples), 2, state_);
  BridgeState s = snapshot();
  EXPECT_TRUE(s.running);
  ASSERT_EQ(2u, s.meters.size());
  EXPECT_EQ(1u, s.meters[1].channel);
  EXPECT_NEAR(-6.0206, s.meters[1].peak, 1e-4);
  EXPECT_GT(s.updated_at, since_);
}

TEST_F(UpdateMetersTest, ShortBufferOrHaltedStreamChangesNothing) {
  std::vector<float> one = {0.5f};
  update_meters(std::span<const float>(one), 2, state_);
  std::atomic<bool> halted{true};
  std::vector<float> two = {0.5f, 0.5f};
  update_meters(std::span<const float>(two), 2, state_, &halted);
  BridgeState s = snapshot();
  EXPECT_FALSE(s.running);
  EXPECT_EQ(1u, s.meters.size());
  EXPECT_EQ(since_, s.updated_at);
}

TEST_F(UpdateMetersTest, PoisonedLockDropsTheLevels) {
  state_.poison();
  std::vector<float> two = {0.5f, 0.5f};
  MeterScratch scratch;
  update_meters(std::span<const float>(two), 2, state_);  // must neither block nor throw
  update_meters(std::span<const float>(two), 2, state_, nullptr, &scratch);
  EXPECT_FALSE(state_.lock().ok());
  // What the poisoned record holds is what it held before the buffers.
  auto g = state_.lock_ignoring_poison();
  EXPECT_FALSE(g->running);
  ASSERT_EQ(1u, g->meters.size());
  EXPECT_EQ(-70.0f, g->meters[0].peak);
  EXPECT_EQ(since_, g->updated_at);
}

TEST_F(UpdateMetersTest, WithAScratchTheSteadyStateReusesTwoMeterLists) {
  std::vector<float> samples = {0.5f, -0.25f, 0.5f, -0.25f};
  MeterScratch scratch;
  auto meters_data = [&] {
    auto g = state_.lock();
    return (**g).meters.data();
  };
  // The first buffers fill the scratch; from then on the state and the
  // scratch trade the same two lists, so nothing is allocated.
  update_meters(std::span<const float>(samples), 2, state_, nullptr, &scratch);
  update_meters(std::span<const float>(samples), 2, state_, nullptr, &scratch);
  const ChannelMeter* a = meters_data();
  const ChannelMeter* b = scratch.meters.data();
  ASSERT_NE(a, b);
  for (int i = 0; i < 4; ++i) {
    update_meters(std::span<const float>(samples), 2, state_, nullptr, &scratch);
    EXPECT_EQ(i % 2 == 0 ? b : a, meters_data()) << "buffer " << i;
    EXPECT_EQ(i % 2 == 0 ? a : b, scratch.meters.data()) << "buffer " << i;
  }
  BridgeState s = snapshot();
  ASSERT_EQ(2u, s.meters.size());
  EXPECT_NEAR(-6.0206, s.meters[0].peak, 1e-4);
  EXPECT_NEAR(-12.0412, s.meters[1].rms, 1e-4);
}

}  // namespace
}  // namespace wf::bridge
