#include "bridge/encoder/feed.h"

#include <gtest/gtest.h>

#include <map>

#include "bridge/core/fake_clock.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/encoder/fake_feed_pipe.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;

SharedChunk chunk(std::string bytes) {
  return std::make_shared<const std::string>(std::move(bytes));
}

class FeedTest : public ::testing::Test {
 protected:
  // Appends an output whose pipe takes `room` bytes (no limit by default),
  // or one whose reader is gone.
  void add(const std::string& id, bool reading = true,
           size_t room = std::numeric_limits<size_t>::max()) {
    auto state = std::make_shared<FakePipeState>();
    state->room = room;
    state->reader_gone = !reading;
    pipes_[id] = state;
    auto child = std::make_unique<FakeChild>(static_cast<int>(list_.processes().size()) + 1, log_);
    list_.processes().push_back(
        EncoderProcess{id, id, std::move(child),
                       std::make_unique<FeedWriter>(std::make_unique<FakeFeedPipe>(state), clock_),
                       "/nonexistent.log"});
  }

  std::string ids() {
    std::string out;
    for (auto& p : list_.processes())
      out += p.id;
    return out;
  }

  EncoderProcess* output(const std::string& id) {
    for (auto& p : list_.processes()) {
      if (p.id == id)
        return &p;
    }
    return nullptr;
  }

  // Waits until `id` has taken `bytes` in full and counted them.
  bool wait_written(const std::string& id, const std::string& bytes) {
    return wf::testing::waitFor(
        [&] {
          return pipes_[id]->taken() == bytes && output(id)->bytes_received() == bytes.size();
        },
        30s, id + " to have taken \"" + bytes.substr(0, 20) + "\"");
  }

  std::string message(const Status& s) { return s.ok() ? "ok" : s.error().message(); }
  std::string send(const std::string& bytes, std::optional<std::string_view> target = {}) {
    return message(write_encoder_chunk_target(list_, chunk(bytes), target));
  }

  FakeEventLog log_ = std::make_shared<std::vector<std::string>>();
  FakeClock clock_;
  std::map<std::string, std::shared_ptr<FakePipeState>> pipes_;
  EncoderList list_;  // last: its writers end before the pipes' states go
};

TEST_F(FeedTest, NothingRunning) {
  EXPECT_EQ("encoder is not running", send("x"));
  EXPECT_EQ("encoder is not running", send(""));
  EXPECT_EQ("Destination is not running", send("x", "A"));
}

TEST_F(FeedTest, EmptyChunkWritesNothing) {
  add("A");
  EXPECT_EQ("ok", send(""));
  EXPECT_EQ("ok", send("", "A"));
  EXPECT_EQ("Destination is not running", send("", "B"));
  EXPECT_EQ(0u, output("A")->bytes_received());
  EXPECT_EQ(0u, output("A")->feed->pending());
}

TEST_F(FeedTest, TargetMustBeAValidRunningId) {
  add("A");
  add("B");
  for (std::string target : {std::string(), std::string(121, 'A'), std::string(" A"),
                             std::string("a"), std::string("C")}) {
    EXPECT_EQ("Destination is not running", send("data", target)) << target;
  }
  EXPECT_EQ(0u, output("A")->feed->pending() + output("A")->bytes_received());
  EXPECT_EQ(0u, output("B")->feed->pending() + output("B")->bytes_received());
}

TEST_F(FeedTest, TargetSelectsOneOutput) {
  add("A");
  add("B");
  EXPECT_EQ("ok", send("to-b", "B"));
  ASSERT_TRUE(wait_written("B", "to-b"));
  EXPECT_EQ("", pipes_["A"]->taken());
  EXPECT_EQ(0u, output("A")->bytes_received());
}

TEST_F(FeedTest, EveryOutputGetsEveryChunkInOrderAndCountsIt) {
  add("A");
  add("B", true, 7);  // a slow reader: the chunks wait in its backlog
  std::string all;
  for (int i = 0; i < 5; ++i) {
    const std::string piece = "chunk-" + std::to_string(i) + ";";
    all += piece;
    ASSERT_EQ("ok", send(piece));
  }
  ASSERT_TRUE(wait_written("A", all));
  ASSERT_TRUE(wf::testing::waitFor([&] { return pipes_["B"]->taken() == "chunk-0"; }, 30s,
                                   "B to fill its room"));
  pipes_["B"]->make_room(all.size());
  ASSERT_TRUE(wait_written("B", all));
}

TEST_F(FeedTest, OutputsShareOneCopyOfEachChunk) {
  add("A", true, 0);
  add("B", true, 0);
  add("C", true, 0);
  const SharedChunk c = chunk("shared bytes");
  ASSERT_TRUE(write_encoder_chunk_target(list_, c, {}).ok());
  // The test and three backlogs hold it, once the writers wait for room.
  EXPECT_TRUE(wf::testing::waitFor([&] { return c.use_count() == 4; }, 30s, "four holders"));
  for (const char* id : {"A", "B", "C"}) {
    pipes_[id]->make_room(100);
    ASSERT_TRUE(wait_written(id, *c));
    std::lock_guard lock(pipes_[id]->mutex);
    EXPECT_EQ(std::vector<const char*>{c->data()}, pipes_[id]->write_sources) << id;
  }
  EXPECT_TRUE(wf::testing::waitFor([&] { return c.use_count() == 1; }, 30s, "the test alone"));
}

TEST_F(FeedTest, FailedOutputsAreRemovedHighestFirstByMovingTheLast) {
  add("A");
  add("B", false);
  add("C");
  add("D", false);
  add("E");
  EXPECT_EQ("ok", send("abc"));
  // D (position 3) goes first and E takes its place; then B, and E moves again.
  EXPECT_EQ("AEC", ids());
  EXPECT_EQ((std::vector<std::string>{"kill 4", "wait 4", "kill 2", "wait 2"}), *log_);
  for (const char* id : {"A", "C", "E"}) {
    ASSERT_TRUE(wait_written(id, "abc"));
  }
}

TEST_F(FeedTest, FailedTargetIsRemovedAndReported) {
  add("A");
  add("B", false);
  add("C");
  EXPECT_EQ("all encoder outputs stopped", send("x", "B"));
  EXPECT_EQ("AC", ids());
  EXPECT_EQ(0u, output("A")->feed->pending());
  EXPECT_EQ(0u, output("C")->feed->pending());
  EXPECT_EQ((std::vector<std::string>{"kill 2", "wait 2"}), *log_);
}

TEST_F(FeedTest, LastOutputFailingEmptiesTheList) {
  add("A", false);
  EXPECT_EQ("all encoder outputs stopped", send("x"));
  EXPECT_EQ("", ids());
  EXPECT_EQ("encoder is not running", send("x"));
}

TEST_F(FeedTest, AStuckOutputIsDroppedPastTheByteLimitWhileTheOtherKeepsUp) {
  add("stuck", true, 0);
  add("live");
  const std::string mib(1 << 20, 'm');
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ("ok", send(mib)) << i;
  }
  EXPECT_EQ("stuckLive", ids().replace(5, 1, "L"));
  EXPECT_EQ("ok", send(mib));  // 17 MiB would be queued for the stuck one
  EXPECT_EQ("live", ids());
  EXPECT_EQ((std::vector<std::string>{"kill 1", "wait 1"}), *log_);
  ASSERT_TRUE(wf::testing::waitFor([&] { return output("live")->bytes_received() == 17u << 20; },
                                   30s, "the live output to take every chunk"));
}

TEST_F(FeedTest, AStuckOutputIsDroppedAfterFiveSecondsWithoutAByte) {
  add("stuck", true, 0);
  add("live");
  // The live output takes each chunk before the clock moves on.
  ASSERT_EQ("ok", send("first"));
  ASSERT_TRUE(wait_written("live", "first"));
  clock_.advance(4999ms);
  ASSERT_EQ("ok", send("second"));
  ASSERT_TRUE(wait_written("live", "firstsecond"));
  EXPECT_EQ("stuckLive", ids().replace(5, 1, "L"));
  clock_.advance(1ms);
  EXPECT_EQ("ok", send("third"));
  EXPECT_EQ("live", ids());
  ASSERT_TRUE(wait_written("live", "firstsecondthird"));
  // A target that has stalled is dropped the same way, and reported.
  add("late", true, 0);
  ASSERT_EQ("ok", send("x", "late"));
  clock_.advance(BACKLOG_STALL);
  EXPECT_EQ("all encoder outputs stopped", send("y", "late"));
  EXPECT_EQ("live", ids());
}

TEST_F(FeedTest, AWriteThatFailedInTheWriterDropsTheOutputAtTheNextChunk) {
  add("A");
  add("B", true, 0);
  ASSERT_EQ("ok", send("one"));
  {
    std::lock_guard lock(pipes_["B"]->mutex);
    pipes_["B"]->fail_writes = true;
    pipes_["B"]->room = 100;
    pipes_["B"]->changed.notify_all();
  }
  ASSERT_TRUE(
      wf::testing::waitFor([&] { return output("B")->feed->settled(); }, 30s, "B's write to fail"));
  EXPECT_EQ("AB", ids());  // nothing is removed between chunks
  EXPECT_EQ("ok", send("two"));
  EXPECT_EQ("A", ids());
  ASSERT_TRUE(wait_written("A", "onetwo"));
}

}  // namespace
}  // namespace wf::bridge
