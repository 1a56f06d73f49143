#include "bridge/encoder/feed_backlog.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
using TimePoint = FeedBacklog::TimePoint;

SharedChunk chunk(size_t size, char fill = 'x') {
  return std::make_shared<const std::string>(size, fill);
}

const TimePoint T0{};

TEST(FeedBacklog, TakesChunksInOrderAndCountsOnlyWholeOnes) {
  FeedBacklog b;
  ASSERT_TRUE(b.admit(chunk(4, 'a'), T0));
  ASSERT_TRUE(b.admit(chunk(3, 'b'), T0));
  EXPECT_EQ(7u, b.pending());
  EXPECT_EQ("aaaa", *b.front());
  b.took(3, T0);
  EXPECT_EQ(3u, b.offset());
  EXPECT_EQ(0u, b.bytes_received());  // a chunk counts once it is in whole
  EXPECT_EQ(4u, b.pending());
  b.took(1, T0);
  EXPECT_EQ(4u, b.bytes_received());
  EXPECT_EQ("bbb", *b.front());
  EXPECT_EQ(0u, b.offset());
  b.took(3, T0);
  EXPECT_EQ(7u, b.bytes_received());
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(nullptr, b.front());
  EXPECT_EQ(0u, b.pending());
}

TEST(FeedBacklog, HoldsTheSharedChunkItself) {
  FeedBacklog first, second;
  const SharedChunk c = chunk(10);
  ASSERT_TRUE(first.admit(c, T0));
  ASSERT_TRUE(second.admit(c, T0));
  EXPECT_EQ(c.get(), first.front().get());
  EXPECT_EQ(c.get(), second.front().get());
  EXPECT_EQ(3, c.use_count());
}

TEST(FeedBacklog, RefusesAChunkThatTakesTheBacklogPastTheLimit) {
  struct Case {
    uint64_t queued;  // backlog before the chunk
    size_t chunk;
    bool admitted;
  };
  const Case cases[] = {
      {0, BACKLOG_LIMIT, true},
      {0, BACKLOG_LIMIT + 1, true},  // one large chunk into a caught-up output
      {1, BACKLOG_LIMIT - 1, true},
      {1, BACKLOG_LIMIT, false},
      {BACKLOG_LIMIT - 1024, 1024, true},
      {BACKLOG_LIMIT - 1024, 1025, false},
      {BACKLOG_LIMIT, 1, false},
  };
  for (const Case& c : cases) {
    FeedBacklog b;
    if (c.queued > 0) {
      ASSERT_TRUE(b.admit(chunk(c.queued), T0));
    }
    EXPECT_EQ(c.admitted, b.admit(chunk(c.chunk), T0)) << c.queued << " + " << c.chunk;
    EXPECT_EQ(c.queued + (c.admitted ? c.chunk : 0), b.pending());
  }
}

TEST(FeedBacklog, TheLimitCountsOnlyBytesNotYetInThePipe) {
  FeedBacklog b;
  ASSERT_TRUE(b.admit(chunk(BACKLOG_LIMIT), T0));
  EXPECT_FALSE(b.admit(chunk(1), T0));
  b.took(1, T0);
  EXPECT_TRUE(b.admit(chunk(1), T0));
  EXPECT_FALSE(b.admit(chunk(1), T0));
}

TEST(FeedBacklog, StallsAfterFiveSecondsWithABacklogAndNoByteTaken) {
  FeedBacklog b;
  EXPECT_FALSE(b.stalled(T0 + 1h));  // nothing queued, nothing to take
  ASSERT_TRUE(b.admit(chunk(100), T0 + 10s));
  EXPECT_FALSE(b.stalled(T0 + 10s + BACKLOG_STALL - 1ms));
  EXPECT_TRUE(b.stalled(T0 + 10s + BACKLOG_STALL));
}

TEST(FeedBacklog, EveryByteTakenRestartsTheStallTime) {
  FeedBacklog b;
  ASSERT_TRUE(b.admit(chunk(100), T0));
  b.took(1, T0 + 4s);
  EXPECT_FALSE(b.stalled(T0 + 8s));
  // More chunks queued behind do not count as progress.
  ASSERT_TRUE(b.admit(chunk(100), T0 + 8s));
  EXPECT_TRUE(b.stalled(T0 + 9s));
}

TEST(FeedBacklog, ABacklogThatDrainedStartsAfreshWithTheNextChunk) {
  FeedBacklog b;
  ASSERT_TRUE(b.admit(chunk(10), T0));
  b.took(10, T0 + 1s);
  EXPECT_FALSE(b.stalled(T0 + 1min));
  ASSERT_TRUE(b.admit(chunk(10), T0 + 1min));
  EXPECT_FALSE(b.stalled(T0 + 1min + 4s));
  EXPECT_TRUE(b.stalled(T0 + 1min + 5s));
}

}  // namespace
}  // namespace wf::bridge
