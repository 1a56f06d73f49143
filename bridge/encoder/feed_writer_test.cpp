#include "bridge/encoder/feed_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/core/fake_clock.h"
#include "bridge/encoder/fake_feed_pipe.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;

SharedChunk chunk(std::string bytes) {
  return std::make_shared<const std::string>(std::move(bytes));
}

class FeedWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<FeedWriter> writer(size_t room = std::numeric_limits<size_t>::max()) {
    state_->room = room;
    return std::make_unique<FeedWriter>(std::make_unique<FakeFeedPipe>(state_), clock_);
  }
  // The writer records what the pipe took just after the pipe took it.
  bool wait_pending(FeedWriter& w, uint64_t bytes) {
    return wf::testing::waitFor([&] { return w.pending() == bytes; }, 30s,
                                "a backlog of " + std::to_string(bytes) + " bytes");
  }
  bool wait_taken(const std::string& bytes) {
    return wf::testing::waitFor([&] { return state_->taken() == bytes; }, 30s,
                                "the pipe to hold \"" + bytes + "\"");
  }

  std::shared_ptr<FakePipeState> state_ = std::make_shared<FakePipeState>();
  FakeClock clock_;
};

TEST_F(FeedWriterTest, WritesChunksInOrderAsTheReaderMakesRoom) {
  auto w = writer(3);
  ASSERT_TRUE(w->offer(chunk("hello")));
  ASSERT_TRUE(w->offer(chunk(" world")));
  ASSERT_TRUE(wait_taken("hel"));
  ASSERT_TRUE(wait_pending(*w, 8));
  EXPECT_EQ(0u, w->bytes_received());  // a chunk counts once it is in whole
  state_->make_room(4);
  ASSERT_TRUE(wait_taken("hello w"));
  ASSERT_TRUE(wait_pending(*w, 4));
  EXPECT_EQ(5u, w->bytes_received());
  state_->make_room(100);
  ASSERT_TRUE(wait_taken("hello world"));
  ASSERT_TRUE(wf::testing::waitFor([&] { return w->bytes_received() == 11; }, 30s, "the count"));
  EXPECT_TRUE(w->settled());
}

TEST_F(FeedWriterTest, AWriteErrorFailsTheOutput) {
  auto w = writer(0);
  ASSERT_TRUE(w->offer(chunk("abc")));
  {
    std::lock_guard lock(state_->mutex);
    state_->fail_writes = true;
    state_->room = 10;
    state_->changed.notify_all();
  }
  ASSERT_TRUE(wf::testing::waitFor([&] { return w->settled(); }, 30s, "the writer to fail"));
  EXPECT_FALSE(w->offer(chunk("d")));
  EXPECT_EQ(0u, w->bytes_received());
}

TEST_F(FeedWriterTest, AGoneReaderFailsTheNextOfferEvenWhenIdle) {
  auto w = writer();
  ASSERT_TRUE(w->offer(chunk("abc")));
  ASSERT_TRUE(wait_taken("abc"));
  state_->lose_reader();
  EXPECT_FALSE(w->offer(chunk("d")));
  EXPECT_FALSE(w->offer(chunk("e")));  // failed for good
}

TEST_F(FeedWriterTest, ABacklogPastTheLimitFailsTheOutput) {
  auto w = writer(0);
  const SharedChunk mib = chunk(std::string(1 << 20, 'm'));
  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(w->offer(mib)) << i;
  }
  EXPECT_EQ(BACKLOG_LIMIT, w->pending());
  EXPECT_FALSE(w->offer(mib));
  EXPECT_FALSE(w->offer(chunk("x")));
}

TEST_F(FeedWriterTest, AStalledBacklogFailsTheOutputAfterFiveSeconds) {
  auto w = writer(2);
  ASSERT_TRUE(w->offer(chunk("abcd")));
  ASSERT_TRUE(wait_pending(*w, 2));
  clock_.advance(4s);
  state_->make_room(1);  // one byte taken at 4 s
  ASSERT_TRUE(wait_pending(*w, 1));
  clock_.advance(4s);
  EXPECT_TRUE(w->offer(chunk("e")));  // 4 s since the last byte
  clock_.advance(999ms);
  EXPECT_TRUE(w->offer(chunk("f")));
  clock_.advance(1ms);
  EXPECT_FALSE(w->offer(chunk("g")));  // 5 s with a backlog and no byte
  EXPECT_TRUE(w->settled());
}

TEST_F(FeedWriterTest, AnIdleOutputNeverStalls) {
  auto w = writer();
  ASSERT_TRUE(w->offer(chunk("abc")));
  ASSERT_TRUE(wf::testing::waitFor([&] { return w->settled(); }, 30s, "the backlog to drain"));
  clock_.advance(1h);
  EXPECT_TRUE(w->offer(chunk("d")));
}

TEST_F(FeedWriterTest, AClosedQueueTakesNoMoreButFinishesWhatItHolds) {
  auto w = writer(1);
  ASSERT_TRUE(w->offer(chunk("ab")));
  w->close_queue();
  EXPECT_FALSE(w->offer(chunk("c")));
  EXPECT_FALSE(w->settled());
  state_->make_room(5);
  ASSERT_TRUE(wf::testing::waitFor([&] { return w->settled(); }, 30s, "the backlog to drain"));
  EXPECT_EQ("ab", state_->taken());
  EXPECT_FALSE(state_->is_closed());
  w->shut();
  EXPECT_TRUE(state_->is_closed());
}

TEST_F(FeedWriterTest, ShuttingAStuckWriterClosesItsPipe) {
  auto w = writer(0);
  ASSERT_TRUE(w->offer(chunk("abc")));
  w.reset();  // the writer waits for room that never comes; ending it does not
  EXPECT_TRUE(state_->is_closed());
  EXPECT_EQ("", state_->taken());
}

// The same writer on a real pipe: a reader that stops holds only its own
// writer, and one that exits fails it.
TEST(FeedWriterPipe, RealPipeFillsThenBreaks) {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  UniqueFd reader(fds[0]);
  auto pipe = make_feed_pipe(UniqueFd(fds[1]));
  ASSERT_TRUE(pipe.ok()) << pipe.error().message();
  FeedWriter w(std::move(*pipe));
  const SharedChunk big = chunk(std::string(1 << 20, 'p'));
  ASSERT_TRUE(w.offer(big));  // more than a default pipe holds: the rest waits
  ASSERT_TRUE(wf::testing::waitFor([&] { return w.pending() < big->size(); }, 30s,
                                   "the pipe to take a first part"));
  EXPECT_FALSE(w.settled());
  char buf[4096];
  ASSERT_GT(::read(reader.get(), buf, sizeof buf), 0);
  reader.reset();
  ASSERT_TRUE(wf::testing::waitFor([&] { return w.settled(); }, 30s, "the write to fail"));
  EXPECT_FALSE(w.offer(chunk("x")));
}

}  // namespace
}  // namespace wf::bridge
