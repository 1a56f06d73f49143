#include "bridge/encoder/shared_engine.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/core/fake_clock.h"
#include "bridge/encoder/arguments.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/encoder/feed.h"
#include "bridge/encoder/status.h"
#include "testing/temp_dir.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;

// FLV units as an encoding child writes them.
std::string be(uint32_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) {
    out += static_cast<char>((v >> (8 * i)) & 0xff);
  }
  return out;
}

std::string flv_header() {
  return std::string("FLV\x01\x05\x00\x00\x00\x09", 9) + be(0, 4);
}

std::string flv_tag(uint8_t type, uint32_t ms, const std::string& body) {
  std::string tag = std::string(1, static_cast<char>(type)) + be(body.size(), 3) +
                    be(ms & 0xffffff, 3) + std::string(1, static_cast<char>(ms >> 24)) + be(0, 3) +
                    body;
  return tag + be(tag.size(), 4);
}

// AVC: frame type 1 (key) or 2, codec 7; packet type 0 (sequence header)
// or 1. `mark` tells frames apart.
std::string video(uint32_t ms, bool key, bool sequence_header, char mark) {
  std::string body;
  body += static_cast<char>(((key ? 1 : 2) << 4) | 7);
  body += static_cast<char>(sequence_header ? 0 : 1);
  body += std::string(3, '\0');
  body += std::string(8, mark);
  return flv_tag(9, ms, body);
}

// AAC: sound format 10; packet type 0 (sequence header) or 1.
std::string audio(uint32_t ms, bool sequence_header, char mark) {
  std::string body = "\xAF";
  body += static_cast<char>(sequence_header ? 0 : 1);
  body += std::string(4, mark);
  return flv_tag(8, ms, body);
}

// WebM elements as a live recorder writes them: sizes of one byte, and
// unknown sizes for the Segment and the Clusters.
std::string ebml(const std::string& id, const std::string& body) {
  return id + static_cast<char>(0x80 | body.size()) + body;
}
const std::string UNKNOWN_SIZE("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);

std::string webm_head() {
  return ebml("\x1A\x45\xDF\xA3", ebml("\x42\x82", "webm")) + "\x18\x53\x80\x67" + UNKNOWN_SIZE +
         ebml("\x16\x54\xAE\x6B",
              ebml("\xAE", ebml(std::string("\xD7", 1), std::string("\x01", 1)) +
                               ebml(std::string("\x83", 1), std::string("\x01", 1))));
}

// A Cluster whose first block is a video frame, key or not.
std::string webm_cluster(bool key, char mark) {
  const std::string block =
      std::string("\x81\x00\x00", 3) + static_cast<char>(key ? 0x80 : 0x00) + std::string(6, mark);
  return "\x1F\x43\xB6\x75" + UNKNOWN_SIZE + ebml("\xE7", std::string(1, '\0')) +
         ebml("\xA3", block);
}

class SharedEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    if (const char* t = std::getenv("TMPDIR"))
      saved_tmpdir_ = t;
    ::setenv("TMPDIR", dir_.path().c_str(), 1);
    ::setenv("FFMPEG_PATH", "/stand/in/ffmpeg", 1);
  }
  void TearDown() override {
    list_.reset();
    if (saved_tmpdir_) {
      ::setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    ::unsetenv("FFMPEG_PATH");
  }

  EncoderStartRequest parse(const std::string& text) {
    auto r = parse_encoder_start_request(text);
    EXPECT_TRUE(r.ok()) << text;
    return r.ok() ? r.value() : EncoderStartRequest{};
  }

  // Starts `text` (a shared payload) and appends its destinations, as the
  // start endpoints do (without the replacement).
  void start(const std::string& text, bool join_running = false) {
    auto r = list_->shared().start(parse(text), launcher_, join_running);
    ASSERT_TRUE(r.ok()) << r.error().message();
    for (auto& p : *r) {
      list_->processes().push_back(std::move(p));
    }
  }

  nlohmann::json status() { return nlohmann::json::parse(encoder_status(*list_).dump()); }
  nlohmann::json output(const std::string& id) {
    const nlohmann::json all = status();
    for (const auto& o : all["outputs"]) {
      if (o["id"] == id)
        return o;
    }
    return nullptr;
  }

  // The launch index of each child by pid: 100 + index.
  const std::vector<std::string>& args_of(int pid) { return launcher_.launched_args.at(pid - 100); }
  bool is_encoder(int pid) { return args_of(pid).back() == "pipe:1"; }

  void write_output(int pid, const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              ::write(launcher_.stdout_writers.at(pid)->get(), bytes.data(), bytes.size()));
  }
  void write_progress(int pid, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()),
              ::write(launcher_.extra_writers.at(pid)->get(), text.data(), text.size()));
  }

  // Everything the child `pid` has been given on its input so far.
  std::string input_of(int pid) {
    const int fd = launcher_.readers.at(pid - 100).get();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string& got = inputs_[pid];
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  bool wait_input(int pid, const std::string& expected) {
    return wf::testing::waitFor([&] { return input_of(pid) == expected; }, 20s,
                                "child " + std::to_string(pid) + " to be given its input");
  }

  void tick() { list_->shared().tick(clock_.now()); }

  testing::TempDir dir_;
  std::optional<std::string> saved_tmpdir_;
  FakeLauncher launcher_;
  FakeClock clock_;
  std::unique_ptr<EncoderList> list_ = std::make_unique<EncoderList>(clock_, false);
  std::map<int, std::string> inputs_;
};

const char* const THREE = R"({"sharedEncoding": true, "hasAudio": true, "outputs": [
    {"id": "a", "rtmpUrl": "rtmp://h/live/a"},
    {"id": "b", "rtmpUrl": " rtmp://h/live/b ", "name": "B"},
    {"id": "c", "rtmpUrl": "rtmp://h/live/c", "resolution": "720p"}]})";

TEST_F(SharedEngineTest, OneEncodingChildPerRenditionAndOnePublisherPerDestination) {
  start(THREE);
  // a's rendition, a's publisher, b's publisher, c's rendition, c's publisher.
  ASSERT_EQ(5u, launcher_.launched_args.size());
  EXPECT_TRUE(is_encoder(100));
  EXPECT_FALSE(is_encoder(101));
  EXPECT_FALSE(is_encoder(102));
  EXPECT_TRUE(is_encoder(103));
  EXPECT_FALSE(is_encoder(104));

  EncoderStartRequest r = parse(THREE);
  auto plain = encoder_arguments(r, r.outputs[0]);
  ASSERT_TRUE(plain.ok());
  std::vector<std::string> expected(plain->begin(), plain->end() - 5);
  ASSERT_EQ("48000", expected.back());
  expected.insert(expected.end(), {"-progress", "pipe:3", "-stats_period", "0.5", "-flush_packets",
                                   "1", "-f", "flv", "pipe:1"});
  EXPECT_EQ(expected, args_of(100));
  EXPECT_EQ("scale=1280:720",
            args_of(103)[std::find(args_of(103).begin(), args_of(103).end(), "-vf") -
                         args_of(103).begin() + 1]);
  EXPECT_EQ((std::vector<std::string>{"-hide_banner", "-loglevel", "info", "-f", "flv", "-i",
                                      "pipe:0", "-c", "copy", "-rw_timeout", "5000000", "-f", "flv",
                                      "rtmp://h/live/b"}),
            args_of(102));

  ASSERT_EQ(3u, list_->processes().size());
  EXPECT_EQ("B", list_->processes()[1].name);
  EXPECT_EQ("Output 3", list_->processes()[2].name);
}

TEST_F(SharedEngineTest, StatusMembersInKeyOrder) {
  start(THREE);
  const nlohmann::json o = output("a");
  const auto raw = encoder_status(*list_)["outputs"][0];
  std::vector<std::string> order;
  for (auto it = raw.begin(); it != raw.end(); ++it)
    order.push_back(it.key());
  EXPECT_EQ(
      (std::vector<std::string>{"bitrateKbps", "bytesReceived", "diagnostic", "encoder", "exitCode",
                                "id", "name", "processId", "reconnects", "running", "state"}),
      order);
  EXPECT_EQ("connecting", o["state"]);
  EXPECT_EQ(101, o["processId"]);
  EXPECT_EQ(true, o["running"]);
  EXPECT_EQ(nullptr, o["encoder"]);
  EXPECT_EQ(0, o["reconnects"]);
}

TEST_F(SharedEngineTest, ProgressReportsFillTheEncoderFigures) {
  start(THREE);
  write_progress(100, "frame=10\nfps=29.5\ndrop_frames=1\ndup_frames=3\nspeed=0.98x\n");
  write_progress(100, "progress=continue\n");
  ASSERT_TRUE(wf::testing::waitFor([&] { return output("a")["encoder"].is_object(); }, 20s,
                                   "the first progress report"));
  const nlohmann::json e = output("b")["encoder"];
  EXPECT_EQ(29.5, e["fps"]);
  EXPECT_EQ(0.98, e["speed"]);
  EXPECT_EQ(1, e["droppedFrames"]);
  EXPECT_EQ(3, e["duplicatedFrames"]);
  // The other rendition has reported nothing yet.
  EXPECT_EQ(nullptr, output("c")["encoder"]);
}

TEST_F(SharedEngineTest, PublishersGetTheHeadThenTagsFromAKeyframe) {
  start(R"({"sharedEncoding": true, "outputs": [{"id": "a", "rtmpUrl": "rtmp://h/live/a"}]})");
  const std::string head = flv_header() +
                           flv_tag(18, 0, std::string("\x02\x00\x0AonMetaData", 13)) +
                           video(0, true, true, 'S') + audio(0, true, 's');
  const std::string key1 = video(0, true, false, 'K');
  const std::string rest = audio(10, false, 'a') + video(33, false, false, 'p');
  write_output(100, head + key1 + rest);
  // The first publisher had it all from the start.
  ASSERT_TRUE(wait_input(101, head + key1 + rest));

  // A destination that joins on the running rendition: no second encoding
  // child; its publisher waits for the next keyframe and gets the head first.
  start(R"({"sharedEncoding": true, "outputs": [{"id": "b", "rtmpUrl": "rtmp://h/live/b"}]})",
        true);
  ASSERT_EQ(3u, launcher_.launched_args.size());
  const std::string before = video(66, false, false, 'q') + audio(70, false, 'b');
  const std::string key2 = video(2000, true, false, 'L');
  const std::string after = video(2033, false, false, 'r');
  write_output(100, before + key2 + after);
  ASSERT_TRUE(wait_input(102, head + key2 + after));
  ASSERT_TRUE(wait_input(101, head + key1 + rest + before + key2 + after));
  EXPECT_TRUE(wf::testing::waitFor(
      [&] { return output("b")["bytesReceived"] == (head + key2 + after).size(); }, 20s,
      "b's count"));
}

TEST_F(SharedEngineTest, ChunksGoToEncodingChildrenAndTargetedOnesNowhere) {
  start(THREE);
  auto chunk = std::make_shared<const std::string>("feed-1");
  EXPECT_TRUE(write_encoder_chunk_target(*list_, chunk, std::nullopt).ok());
  EXPECT_TRUE(wait_input(100, "feed-1"));
  EXPECT_TRUE(wait_input(103, "feed-1"));
  // A head re-sent for one destination changes nothing.
  auto resent = std::make_shared<const std::string>("head");
  EXPECT_TRUE(write_encoder_chunk_target(*list_, resent, std::string("b")).ok());
  EXPECT_TRUE(write_encoder_chunk_target(*list_, chunk, std::nullopt).ok());
  EXPECT_TRUE(wait_input(100, "feed-1feed-1"));
  EXPECT_EQ("", input_of(101));
  EXPECT_FALSE(write_encoder_chunk_target(*list_, resent, std::string("zz")).ok());
}

TEST_F(SharedEngineTest, AnEncodingChildWhoseInputFailsLeavesWithItsDestinations) {
  start(THREE);
  // c's encoding child is gone: its input is broken.
  launcher_.readers.at(3).reset();
  auto chunk = std::make_shared<const std::string>("x");
  EXPECT_TRUE(write_encoder_chunk_target(*list_, chunk, std::nullopt).ok());
  ASSERT_EQ(2u, list_->processes().size());
  EXPECT_EQ("a", list_->processes()[0].id);
  EXPECT_EQ("b", list_->processes()[1].id);
  // Its encoder and publisher were killed and reaped.
  const auto& log = *launcher_.log;
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "kill 103"));
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "kill 104"));

  launcher_.readers.at(0).reset();
  EXPECT_FALSE(write_encoder_chunk_target(*list_, chunk, std::nullopt).ok());
  EXPECT_TRUE(list_->processes().empty());
}

TEST_F(SharedEngineTest, APublisherThatEndsIsRestartedOnTheSchedule) {
  start(R"({"sharedEncoding": true, "outputs": [{"id": "a", "rtmpUrl": "rtmp://h/live/a"}]})");
  const std::string first_log = list_->processes()[0].log_path;
  *launcher_.end_switches.at(101) = true;
  tick();
  EXPECT_EQ("reconnecting", output("a")["state"]);
  EXPECT_EQ(false, output("a")["running"]);
  clock_.advance(1999ms);
  tick();
  EXPECT_EQ(2u, launcher_.launched_args.size());
  clock_.advance(1ms);
  tick();
  ASSERT_EQ(3u, launcher_.launched_args.size());
  nlohmann::json o = output("a");
  EXPECT_EQ(102, o["processId"]);
  EXPECT_EQ(1, o["reconnects"]);
  EXPECT_EQ("connecting", o["state"]);
  EXPECT_EQ("rtmp://h/live/a", args_of(102).back());

  // The second attempt fails too: the next wait is 1.5 times longer.
  *launcher_.end_switches.at(102) = true;
  tick();
  clock_.advance(2999ms);
  tick();
  EXPECT_EQ(3u, launcher_.launched_args.size());
  clock_.advance(1ms);
  tick();
  EXPECT_EQ(4u, launcher_.launched_args.size());
  EXPECT_EQ(2, output("a")["reconnects"]);
  // Every attempt has a log file of its own.
  std::set<std::string> logs;
  for (auto& entry : std::filesystem::directory_iterator(dir_.path()))
    logs.insert(entry.path().string());
  EXPECT_EQ(4u, logs.size());  // the encoder and three publisher attempts
  EXPECT_TRUE(logs.count(first_log));
}

TEST_F(SharedEngineTest, GivesUpAfterTwentyFiveFailedAttempts) {
  start(R"({"sharedEncoding": true, "outputs": [{"id": "a", "rtmpUrl": "rtmp://h/live/a"}]})");
  launcher_.on_launch = [](FakeChild&) { return Status(Error("no such program")); };
  *launcher_.end_switches.at(101) = true;
  tick();
  int ticks = 0;
  while (output("a")["state"] == "reconnecting" && ticks++ < 1000) {
    clock_.advance(1s);
    tick();
  }
  const nlohmann::json o = output("a");
  EXPECT_EQ("failed", o["state"]);
  EXPECT_EQ(25, o["reconnects"]);
  // It stays listed until stopped, and then no restart follows.
  ASSERT_EQ(1u, list_->processes().size());
  stop_encoder(list_->processes(), clock_);
  const size_t launched = launcher_.launched_args.size();
  clock_.advance(60s);
  tick();
  EXPECT_EQ(launched, launcher_.launched_args.size());
}

TEST_F(SharedEngineTest, AStoppedDestinationIsNeverRestarted) {
  start(THREE);
  *launcher_.end_switches.at(101) = true;
  tick();
  EXPECT_EQ("reconnecting", output("a")["state"]);
  // Stopping only "a" leaves its encoding child to "b".
  std::vector<EncoderProcess> taken;
  taken.push_back(std::move(list_->processes()[0]));
  list_->processes().erase(list_->processes().begin());
  stop_encoder(taken, clock_);
  clock_.advance(10s);
  tick();
  EXPECT_EQ(5u, launcher_.launched_args.size());
  const auto& log = *launcher_.log;
  EXPECT_EQ(log.end(), std::find(log.begin(), log.end(), "kill 100"));
  EXPECT_EQ("connecting", output("b")["state"]);

  // Stopping the rest ends both encoding children and their publishers.
  stop_encoder(list_->processes(), clock_);
  for (const char* killed : {"kill 100", "kill 102", "kill 103", "kill 104"}) {
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), killed)) << killed;
  }
  clock_.advance(60s);
  tick();
  EXPECT_EQ(5u, launcher_.launched_args.size());
}

TEST_F(SharedEngineTest, DestinationsFailWhenTheirEncodingChildEnds) {
  start(THREE);
  *launcher_.end_switches.at(103) = true;
  tick();
  EXPECT_EQ("failed", output("c")["state"]);
  EXPECT_EQ("connecting", output("a")["state"]);
  // A chunk targeted at it is refused.
  auto chunk = std::make_shared<const std::string>("x");
  EXPECT_FALSE(write_encoder_chunk_target(*list_, chunk, std::string("c")).ok());
}

TEST_F(SharedEngineTest, LiveWhileThePublisherTakesBytes) {
  start(R"({"sharedEncoding": true, "outputs": [{"id": "a", "rtmpUrl": "rtmp://h/live/a"}]})");
  tick();
  const std::string stream = flv_header() + video(0, true, true, 'S') + video(0, true, false, 'K');
  write_output(100, stream);
  ASSERT_TRUE(wait_input(101, stream));
  ASSERT_TRUE(wf::testing::waitFor([&] { return output("a")["bytesReceived"] == stream.size(); },
                                   20s, "the count"));
  clock_.advance(100ms);
  tick();
  EXPECT_EQ("live", output("a")["state"]);
  EXPECT_GT(output("a")["bitrateKbps"].get<uint64_t>(), 0u);
  clock_.advance(3s);
  tick();
  EXPECT_EQ("connecting", output("a")["state"]);
}

TEST_F(SharedEngineTest, AFailedLaunchStopsWhatTheCallStarted) {
  int launches = 0;
  launcher_.on_launch = [&](FakeChild&) {
    return ++launches == 4 ? Status(Error("no such program")) : Status();
  };
  auto r = list_->shared().start(parse(THREE), launcher_, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ("could not start FFmpeg for Output 3; install FFmpeg or set FFMPEG_PATH",
            r.error().message());
  const auto& log = *launcher_.log;
  for (const char* killed : {"kill 100", "kill 101", "kill 102"}) {
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), killed)) << killed;
  }
  clock_.advance(10s);
  tick();
  EXPECT_EQ(4u, launcher_.launched_args.size());
}

class RunningFeedTest : public SharedEngineTest {
 protected:
  void post(const std::string& bytes) {
    EXPECT_TRUE(
        write_encoder_chunk_target(*list_, std::make_shared<const std::string>(bytes), std::nullopt)
            .ok());
  }
  // A second rendition (new settings) started on the running feed; its
  // encoding child is 102.
  void start_second() {
    start(R"({"sharedEncoding": true, "outputs": [{"id": "b", "rtmpUrl": "rtmp://h/live/b",
        "videoBitrate": 1000}]})",
          true);
    ASSERT_EQ(4u, launcher_.launched_args.size());
    ASSERT_TRUE(is_encoder(102));
  }
  const std::string one_ = R"({"sharedEncoding": true, "outputs": [{"id": "a",
      "rtmpUrl": "rtmp://h/live/a"}]})";
};

TEST_F(RunningFeedTest, ANewEncodingChildStartsFromTheLatestKeyframeCluster) {
  start(one_);
  const std::string head = webm_head();
  const std::string old_key = webm_cluster(true, '1');
  const std::string recent = webm_cluster(true, '2') + webm_cluster(false, '3');
  post(head + old_key + recent);
  start_second();
  // At once: the head and the feed from the latest keyframe Cluster on.
  EXPECT_TRUE(wait_input(102, head + recent));
  const std::string next = webm_cluster(false, '4');
  post(next);
  EXPECT_TRUE(wait_input(102, head + recent + next));
  EXPECT_TRUE(wait_input(100, head + old_key + recent + next));
}

TEST_F(RunningFeedTest, WithoutAKeyframeClusterYetItWaitsForTheNextOne) {
  start(one_);
  const std::string head = webm_head();
  const std::string first = head + webm_cluster(false, '1');
  post(first);
  start_second();
  const std::string not_key = webm_cluster(false, '2');
  const std::string key = webm_cluster(true, '3');
  post(not_key);
  post(key);
  // The running child has the feed unchanged; the new one the head, then
  // the feed from the keyframe's Cluster on.
  EXPECT_TRUE(wait_input(100, first + not_key + key));
  EXPECT_TRUE(wait_input(102, head + key));
  const std::string next = webm_cluster(false, '4');
  post(next);
  EXPECT_TRUE(wait_input(102, head + key + next));
}

}  // namespace
}  // namespace wf::bridge
