#include "bridge/encoder/status.h"

#include <gtest/gtest.h>

#include "bridge/core/text.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/encoder/fake_feed_pipe.h"
#include "testing/temp_dir.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

std::string tail_of_file(const testing::TempDir& dir, const std::string& content) {
  auto r = encoder_diagnostic_tail(dir.write("ffmpeg.log", content));
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : "<error>";
}

TEST(DiagnosticTail, KeepsTheLastTwelveNonBlankPieces) {
  testing::TempDir dir;
  std::string log, expected;
  for (int i = 1; i <= 30; ++i) {
    log += "line " + std::to_string(i) + "\n  \t\n\n\xC2\xA0\n";
    if (i > 18) {
      expected += (expected.empty() ? "" : "\n") + ("line " + std::to_string(i));
    }
  }
  EXPECT_EQ(expected, tail_of_file(dir, log));
}

TEST(DiagnosticTail, SplitsAtEveryCrAndLfWithoutTrimming) {
  EXPECT_EQ("a \n  b\nframe=1\nframe=2\nc",
            diagnostic_tail_of("a \r\n  b\rframe=1\rframe=2\nc", 30));
  EXPECT_EQ("only", diagnostic_tail_of("only", 4));
  EXPECT_EQ("", diagnostic_tail_of("", 0));
  EXPECT_EQ("", diagnostic_tail_of("\r\n \r\n", 5));
}

TEST(DiagnosticTail, WithholdsPublishingUrlsInAnyLetterCase) {
  const std::string log =
      "keep 1\n"
      "Output #0, flv, to 'rtmp://host/live/KEY':\n"
      "[tls] RTMPS://host/live/KEY failed\r"
      "Opening 'rTmP://host/app/key' for writing\n"
      "keep 2 rtmp:/ is not a URL\n"
      "url rtmps://x\n"
      "keep 3";
  EXPECT_EQ("keep 1\nkeep 2 rtmp:/ is not a URL\nkeep 3", diagnostic_tail_of(log, log.size()));
}

TEST(DiagnosticTail, ReadsOnlyTheLastWindowAndDropsItsCutFirstPiece) {
  testing::TempDir dir;
  struct Case {
    size_t filler;  // bytes before "\nfinal\n"
    bool dropped;
  };
  const Case cases[] = {
      {16384 - 7, false},  // exactly the window: read whole
      {16384 - 6, true},   // one byte more: the first piece may be cut
      {20000 - 7, true},
  };
  for (const Case& c : cases) {
    const std::string content = std::string(c.filler, 'x') + "\nfinal\n";
    const std::string tail = tail_of_file(dir, content);
    if (c.dropped) {
      EXPECT_EQ("final", tail) << content.size();
    } else {
      EXPECT_EQ(std::string(c.filler, 'x') + "\nfinal", tail) << content.size();
    }
  }
  // The window of a 20000-byte log starts 3616 bytes in, inside "bbbbb".
  std::string content = std::string(3612, 'a') + "\nbbbbb\nc\n";
  const std::string last(20000 - content.size() - 1, 'd');
  content += last + "\n";
  ASSERT_EQ(20000u, content.size());
  EXPECT_EQ("c\n" + last, tail_of_file(dir, content));
}

TEST(DiagnosticTail, ReplacesInvalidUtf8) {
  EXPECT_EQ(
      "ab\xEF\xBF\xBD"
      "cd",
      diagnostic_tail_of("ab\xFF"
                         "cd",
                         5));
  // A sequence that breaks off is one replacement, not one per byte.
  EXPECT_EQ("x\xEF\xBF\xBDy", diagnostic_tail_of("x\xE2\x82y", 4));
  EXPECT_EQ("\xF0\x9F\x98\x80 ok", diagnostic_tail_of("\xF0\x9F\x98\x80 ok", 7));
  // Surrogates and overlong forms are invalid.
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", decode_utf8_lossy("\xED\xA0\x80"));
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", decode_utf8_lossy("\xC0\xAF"));
}

TEST(DiagnosticTail, FailsForAMissingLog) {
  testing::TempDir dir;
  EXPECT_FALSE(encoder_diagnostic_tail(dir.file("gone.log")).ok());
}

TEST(EncoderStatus, ReportsEachOutputInListOrder) {
  testing::TempDir dir;
  auto log = std::make_shared<std::vector<std::string>>();
  EncoderList list;
  auto add = [&](const std::string& id, int pid, int polls, ChildExit exit, std::string log_path) {
    auto child = std::make_unique<FakeChild>(pid, log);
    child->exit_after_polls = polls;
    child->exit_as = exit;
    list.processes().push_back(
        EncoderProcess{id, "Name " + id, std::move(child), nullptr, std::move(log_path)});
  };
  add("run", 11, -1, {}, dir.write("a.log", "started\nrtmp://secret\n"));
  add("failed", 12, 0, ChildExit{1}, dir.write("b.log", "boom"));
  add("signalled", 13, 0, ChildExit{}, dir.file("deleted.log"));
  list.processes()[0].feed = std::make_unique<FeedWriter>(
      std::make_unique<FakeFeedPipe>(std::make_shared<FakePipeState>()));
  ASSERT_TRUE(list.processes()[0].feed->offer(std::make_shared<const std::string>(1234, 'x')));
  ASSERT_TRUE(wf::testing::waitFor([&] { return list.processes()[0].bytes_received() == 1234; },
                                   std::chrono::seconds(30), "the chunk to be in the pipe"));

  const std::string expected =
      R"({"ok":true,"outputs":[)"
      R"({"bytesReceived":1234,"diagnostic":"started","exitCode":null,"id":"run","name":"Name run","processId":11,"running":true},)"
      R"({"bytesReceived":0,"diagnostic":"boom","exitCode":1,"id":"failed","name":"Name failed","processId":12,"running":false},)"
      R"({"bytesReceived":0,"diagnostic":"","exitCode":null,"id":"signalled","name":"Name signalled","processId":13,"running":false}]})";
  EXPECT_EQ(expected, encoder_status(list).dump());
  // Exited outputs stay listed with the same answer.
  EXPECT_EQ(expected, encoder_status(list).dump());
  EXPECT_EQ(3u, list.processes().size());

  EncoderList empty;
  EXPECT_EQ(R"({"ok":true,"outputs":[]})", encoder_status(empty).dump());
}

}  // namespace
}  // namespace wf::bridge
