#include "bridge/media/reconnect_schedule.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
using TimePoint = ReconnectSchedule::TimePoint;
const TimePoint T0{};

std::chrono::milliseconds ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d);
}

TEST(ReconnectSchedule, WaitsGrowByHalfUpToThirtySecondsAndGiveUpAfterTwentyFive) {
  ReconnectSchedule s;
  TimePoint now = T0;
  s.started(now);
  now += 10s;
  std::vector<int64_t> waits;
  for (;;) {
    const std::optional<TimePoint> due = s.ended(now);
    if (!due) {
      break;
    }
    waits.push_back(ms(*due - now).count());
    EXPECT_EQ(due, s.due());
    now = *due;
    s.started(now);
    now += 1s;  // each attempt fails after a second
  }
  const std::vector<int64_t> expected = {
      2000,  3000,  4500,  6750,  10125, 15187, 22781, 30000, 30000, 30000, 30000, 30000, 30000,
      30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000};
  EXPECT_EQ(expected, waits);
  EXPECT_EQ(25, s.reconnects());
  EXPECT_EQ(25, s.failures());
  EXPECT_TRUE(s.given_up());
  EXPECT_FALSE(s.due());
  EXPECT_FALSE(s.ended(now));
}

TEST(ReconnectSchedule, ThirtySecondsOfPublishingStartsOver) {
  struct Case {
    std::chrono::milliseconds published;
    int64_t next_wait_ms;
  };
  const Case cases[] = {{29999ms, 10125}, {30000ms, 2000}, {120000ms, 2000}};
  for (const Case& c : cases) {
    ReconnectSchedule s;
    TimePoint now = T0;
    s.started(now);
    for (int i = 0; i < 4; ++i) {  // the launch and three failed attempts
      now = *s.ended(now + 1s);
      s.started(now);
    }
    ASSERT_EQ(3, s.failures());
    s.publishing(now + 1s);
    s.publishing(now + 5s);  // only the first report marks the start
    const TimePoint end = now + 1s + c.published;
    const std::optional<TimePoint> due = s.ended(end);
    ASSERT_TRUE(due);
    EXPECT_EQ(c.next_wait_ms, ms(*due - end).count()) << c.published.count();
    EXPECT_EQ(4, s.reconnects());
  }
}

TEST(ReconnectSchedule, PublishingOfAnEarlierAttemptDoesNotCarryOver) {
  ReconnectSchedule s;
  s.started(T0);
  s.publishing(T0);
  TimePoint now = *s.ended(T0 + 10s);
  s.started(now);
  // Ends 40 s after the launch began publishing, but never published itself.
  const std::optional<TimePoint> due = s.ended(T0 + 40s);
  ASSERT_TRUE(due);
  EXPECT_EQ(3000, ms(*due - (T0 + 40s)).count());
}

TEST(ReconnectSchedule, NothingIsDueWhileAChildRuns) {
  ReconnectSchedule s;
  EXPECT_FALSE(s.due());
  s.started(T0);
  EXPECT_FALSE(s.due());
  EXPECT_EQ(0, s.reconnects());
  const TimePoint due = *s.ended(T0);
  EXPECT_EQ(due, *s.due());
  s.started(due);
  EXPECT_FALSE(s.due());
  EXPECT_EQ(1, s.reconnects());
}

}  // namespace
}  // namespace wf::bridge
