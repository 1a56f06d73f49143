#include "bridge/media/destination_health.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
const DestinationHealth::TimePoint T0{};

TEST(DestinationHealth, StatesNameThemselves) {
  EXPECT_EQ("connecting", to_string(DestinationState::Connecting));
  EXPECT_EQ("live", to_string(DestinationState::Live));
  EXPECT_EQ("reconnecting", to_string(DestinationState::Reconnecting));
  EXPECT_EQ("failed", to_string(DestinationState::Failed));
}

TEST(DestinationHealth, FollowsItsPublisher) {
  DestinationHealth h;
  h.started(T0);
  h.sample(0, T0);
  EXPECT_EQ(DestinationState::Connecting, h.state(T0));
  h.sample(0, T0 + 1s);
  EXPECT_EQ(DestinationState::Connecting, h.state(T0 + 1s));
  h.sample(1000, T0 + 2s);
  EXPECT_EQ(DestinationState::Live, h.state(T0 + 2s));
  EXPECT_EQ(DestinationState::Live, h.state(T0 + 4s));
  EXPECT_EQ(DestinationState::Connecting, h.state(T0 + 4001ms));  // nothing taken for 2 s
  h.waiting();
  EXPECT_EQ(DestinationState::Reconnecting, h.state(T0 + 5s));
  h.started(T0 + 6s);
  EXPECT_EQ(DestinationState::Connecting, h.state(T0 + 6s));
  h.sample(1000, T0 + 6s);
  EXPECT_EQ(DestinationState::Connecting, h.state(T0 + 6s));
  h.sample(2000, T0 + 7s);
  EXPECT_EQ(DestinationState::Live, h.state(T0 + 7s));
  h.failed();
  h.started(T0 + 8s);
  h.waiting();
  h.sample(3000, T0 + 8s);
  EXPECT_EQ(DestinationState::Failed, h.state(T0 + 8s));
}

TEST(DestinationHealth, MeasuresTheBitRateOverTheLastTwoSeconds) {
  struct Case {
    std::vector<std::pair<std::chrono::milliseconds, uint64_t>> samples;
    std::chrono::milliseconds now;
    uint64_t kbps;
  };
  const Case cases[] = {
      {{}, 0ms, 0},
      {{{0ms, 0}}, 1s, 0},
      {{{0ms, 0}, {500ms, 62500}}, 500ms, 1000},             // shorter history: its own span
      {{{0ms, 0}, {1s, 312500}, {2s, 625000}}, 2s, 2500},    // 2500 kbit/s
      {{{0ms, 0}, {1s, 1000000}, {3s, 1250000}}, 3s, 1000},  // 875000 at 1 s, by interpolation
      {{{0ms, 0}, {1s, 250000}, {2s, 500000}}, 3s, 1000},    // nothing new in the last second
      {{{0ms, 0}, {1s, 250000}, {2s, 500000}}, 10s, 0},      // nothing taken lately
  };
  for (const Case& c : cases) {
    DestinationHealth h;
    h.started(T0);
    for (const auto& [at, bytes] : c.samples) {
      h.sample(bytes, T0 + at);
    }
    EXPECT_EQ(c.kbps, h.bitrate_kbps(T0 + c.now)) << c.now.count();
  }
}

TEST(DestinationHealth, KeepsABoundedRingOfSamples) {
  DestinationHealth h;
  h.started(T0);
  // Many samples 10 ms apart at 1 Mbit/s: the ring keeps the latest ones,
  // whose span is shorter than the window.
  for (int i = 0; i <= 1000; ++i) {
    h.sample(static_cast<uint64_t>(i) * 1250, T0 + i * 10ms);
  }
  EXPECT_EQ(1000u, h.bitrate_kbps(T0 + 10s));
  EXPECT_EQ(DestinationState::Live, h.state(T0 + 10s));
}

TEST(DestinationHealth, IgnoresSamplesThatGoBackInTime) {
  DestinationHealth h;
  h.started(T0);
  h.sample(0, T0 + 1s);
  h.sample(500000, T0);
  EXPECT_EQ(DestinationState::Connecting, h.state(T0 + 1s));
  EXPECT_EQ(0u, h.bitrate_kbps(T0 + 1s));
}

}  // namespace
}  // namespace wf::bridge
