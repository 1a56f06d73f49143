#include "bridge/encoder/feed.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>

#include "bridge/encoder/fake_child.h"

namespace wf::bridge {
namespace {

class FeedTest : public ::testing::Test {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

  // Appends an output whose pipe accepts writes, or one whose reader is gone.
  void add(const std::string& id, bool reading = true) {
    int fds[2];
    ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    readers_[id] = UniqueFd(fds[0]);
    if (!reading) {
      readers_[id].reset();
    }
    auto child = std::make_unique<FakeChild>(static_cast<int>(list_.processes().size()) + 1, log_);
    list_.processes().push_back(
        EncoderProcess{id, id, std::move(child), UniqueFd(fds[1]), "/nonexistent.log", 0});
  }

  std::string ids() {
    std::string out;
    for (auto& p : list_.processes())
      out += p.id;
    return out;
  }

  std::string read(const std::string& id) {
    char buf[4096];
    ssize_t n = ::read(readers_[id].get(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

  uint64_t bytes(const std::string& id) {
    for (auto& p : list_.processes()) {
      if (p.id == id)
        return p.bytes_received;
    }
    return ~0ull;
  }

  std::string message(const Status& s) { return s.ok() ? "ok" : s.error().message(); }

  FakeEventLog log_ = std::make_shared<std::vector<std::string>>();
  EncoderList list_;
  std::map<std::string, UniqueFd> readers_;
};

TEST_F(FeedTest, NothingRunning) {
  EXPECT_EQ("encoder is not running", message(write_encoder_chunk_target(list_, "x", {})));
  EXPECT_EQ("encoder is not running", message(write_encoder_chunk_target(list_, "", {})));
  EXPECT_EQ("Destination is not running", message(write_encoder_chunk_target(list_, "x", "A")));
}

TEST_F(FeedTest, EmptyChunkWritesNothing) {
  add("A");
  EXPECT_EQ("ok", message(write_encoder_chunk_target(list_, "", {})));
  EXPECT_EQ("ok", message(write_encoder_chunk_target(list_, "", "A")));
  EXPECT_EQ("Destination is not running", message(write_encoder_chunk_target(list_, "", "B")));
  EXPECT_EQ(0u, bytes("A"));
  EXPECT_EQ("", read("A"));
}

TEST_F(FeedTest, TargetMustBeAValidRunningId) {
  add("A");
  add("B");
  for (std::string target : {std::string(), std::string(121, 'A'), std::string(" A"),
                             std::string("a"), std::string("C")}) {
    EXPECT_EQ("Destination is not running",
              message(write_encoder_chunk_target(list_, "data", target)))
        << target;
  }
  EXPECT_EQ("", read("A"));
  EXPECT_EQ("", read("B"));
}

TEST_F(FeedTest, TargetSelectsOneOutput) {
  add("A");
  add("B");
  EXPECT_EQ("ok", message(write_encoder_chunk_target(list_, "to-b", "B")));
  EXPECT_EQ("", read("A"));
  EXPECT_EQ("to-b", read("B"));
  EXPECT_EQ(0u, bytes("A"));
  EXPECT_EQ(4u, bytes("B"));
}

TEST_F(FeedTest, CountsEveryChunkForEveryOutput) {
  add("A");
  add("B");
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ("ok", message(write_encoder_chunk_target(list_, "0123456789", {})));
  }
  EXPECT_EQ(50u, bytes("A"));
  EXPECT_EQ(50u, bytes("B"));
  EXPECT_EQ(50u, read("A").size());
}

TEST_F(FeedTest, FailedOutputsAreRemovedHighestFirstByMovingTheLast) {
  add("A");
  add("B", false);
  add("C");
  add("D", false);
  add("E");
  EXPECT_EQ("ok", message(write_encoder_chunk_target(list_, "abc", {})));
  // D (position 3) goes first and E takes its place; then B, and E moves again.
  EXPECT_EQ("AEC", ids());
  EXPECT_EQ((std::vector<std::string>{"kill 4", "wait 4", "kill 2", "wait 2"}), *log_);
  EXPECT_EQ(3u, bytes("A"));
  EXPECT_EQ(3u, bytes("C"));
  EXPECT_EQ(3u, bytes("E"));
}

TEST_F(FeedTest, FailedTargetIsRemovedAndReported) {
  add("A");
  add("B", false);
  add("C");
  EXPECT_EQ("all encoder outputs stopped", message(write_encoder_chunk_target(list_, "x", "B")));
  EXPECT_EQ("AC", ids());
  EXPECT_EQ("", read("A"));
  EXPECT_EQ(0u, bytes("C"));
  EXPECT_EQ((std::vector<std::string>{"kill 2", "wait 2"}), *log_);
}

TEST_F(FeedTest, LastOutputFailingEmptiesTheList) {
  add("A", false);
  EXPECT_EQ("all encoder outputs stopped", message(write_encoder_chunk_target(list_, "x", {})));
  EXPECT_EQ("", ids());
  EXPECT_EQ("encoder is not running", message(write_encoder_chunk_target(list_, "x", {})));
}

}  // namespace
}  // namespace wf::bridge
