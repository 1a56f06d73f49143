// Shared encoding with the real encoder program, publishing to real RTMP
// servers that record what they receive. The program feed is posted in real
// time, a quarter of a second of media per chunk, as a front end does.

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bridge/tests/encoder_harness.h"
#include "testing/rtmp_server.h"

namespace wf::encoder_test {
namespace {

using nlohmann::json;

json probe(const std::vector<std::string>& extra, const std::string& path) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error", "-of", "json"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(path);
  testing::ExitStatus status;
  const std::string out = testing::runCommand(argv, &status);
  if (!status.exited || status.code != 0) {
    return nullptr;
  }
  return json::parse(out, nullptr, false);
}

json streams_of(const std::string& path) {
  return std::filesystem::exists(path) ? probe({"-show_streams", "-show_format"}, path) : json();
}

const json* stream_of(const json& info, const std::string& type) {
  if (!info.is_object() || !info.contains("streams")) {
    return nullptr;
  }
  for (const json& s : info["streams"]) {
    if (s.value("codec_type", "") == type)
      return &s;
  }
  return nullptr;
}

double duration_of(const json& info) {
  return std::stod(info["format"].value("duration", std::string("0")));
}

// The recording's first video packet: whether it is a keyframe.
bool starts_at_keyframe(const std::string& path) {
  const json packets = probe({"-select_streams", "v:0", "-show_entries", "packet=flags",
                              "-read_intervals", "%+#1", "-show_packets"},
                             path);
  if (!packets.is_object() || packets["packets"].empty()) {
    return false;
  }
  return packets["packets"][0].value("flags", "").find('K') != std::string::npos;
}

// The longest stretch between two video frames of a recording, in seconds.
double longest_video_gap(const std::string& path) {
  const json packets =
      probe({"-select_streams", "v:0", "-show_entries", "packet=pts_time", "-show_packets"}, path);
  double longest = 0;
  double last = -1;
  if (!packets.is_object()) {
    return 1e9;
  }
  for (const json& p : packets["packets"]) {
    const double t = std::stod(p.value("pts_time", std::string("0")));
    if (last >= 0) {
      longest = std::max(longest, t - last);
    }
    last = t;
  }
  return longest;
}

// Checks a recording the server has finished: H.264 and AAC, starting at a
// keyframe, with audio and video starting together, at least `min_seconds`
// long.
void expect_whole_recording(const std::string& path, double min_seconds) {
  json info;
  double last = -1;
  auto changed = std::chrono::steady_clock::now();
  // The server writes the file as it goes; it is finished once its length
  // stands still.
  testing::waitFor(
      [&] {
        info = streams_of(path);
        if (!stream_of(info, "video") || !stream_of(info, "audio")) {
          return false;
        }
        const double d = duration_of(info);
        const auto now = std::chrono::steady_clock::now();
        if (d != last) {
          last = d;
          changed = now;
          return false;
        }
        return now - changed >= std::chrono::milliseconds(500);
      },
      30s, "a finished recording of " + path);
  const json* video = stream_of(info, "video");
  const json* audio = stream_of(info, "audio");
  ASSERT_TRUE(video && audio) << path << " " << info;
  EXPECT_EQ("h264", (*video)["codec_name"]) << path;
  EXPECT_EQ("aac", (*audio)["codec_name"]) << path;
  EXPECT_GE(duration_of(info), min_seconds) << path;
  EXPECT_TRUE(starts_at_keyframe(path)) << path;
  const double v0 = std::stod(video->value("start_time", std::string("0")));
  const double a0 = std::stod(audio->value("start_time", std::string("0")));
  EXPECT_NEAR(v0, a0, 0.3) << path;
}

// A WebM program feed like a front end's: VP8 with a keyframe (and so a
// new Cluster) every second, and Opus audio. The encoder's speed is fixed
// (negative): a positive one follows the machine's load, and so would the
// stream.
std::string make_feed(testing::TempDir& dir, int seconds) {
  const std::string path = dir.file("feed.webm");
  testing::ExitStatus made;
  testing::runCommand({"ffmpeg",    "-hide_banner",
                       "-loglevel", "error",
                       "-f",        "lavfi",
                       "-i",        "testsrc2=size=320x180:rate=24",
                       "-f",        "lavfi",
                       "-i",        "sine=frequency=440:sample_rate=48000",
                       "-t",        std::to_string(seconds),
                       "-c:v",      "libvpx",
                       "-deadline", "realtime",
                       "-cpu-used", "-8",
                       "-g",        "24",
                       "-b:v",      "400k",
                       "-c:a",      "libopus",
                       path},
                      &made);
  EXPECT_TRUE(made.exited && made.code == 0);
  return testing::readFile(path);
}

// Posts the feed in the background in real time, a quarter of a second of
// its media every quarter of a second, as MediaRecorder's timeslice would,
// until the feed ends or `stop` is called.
class RealTimeFeed {
 public:
  RealTimeFeed(int port, std::string feed, int seconds)
      : port_(port), feed_(std::move(feed)), seconds_(seconds) {}
  ~RealTimeFeed() { stop(); }

  void start(size_t from = 0) {
    sent_ = from;
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    quit_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  bool done() const { return finished_; }
  int failures() const { return failures_; }
  size_t sent() const { return sent_; }

 private:
  void run() {
    const size_t per_slice = feed_.size() / (static_cast<size_t>(seconds_) * 4) + 1;
    auto next = std::chrono::steady_clock::now();
    while (!quit_ && sent_ < feed_.size()) {
      const std::string chunk = feed_.substr(sent_, per_slice);
      auto r = testing::httpRequest(port_, "POST", "/encoder/chunk", chunk, {}, 60s);
      if (!r || r->status != 200) {
        ++failures_;
      }
      sent_ += chunk.size();
      // The pace of a real-time source, not a wait for the bridge.
      next += std::chrono::milliseconds(250);
      std::this_thread::sleep_until(next);
    }
    finished_ = true;
  }

  int port_;
  std::string feed_;
  int seconds_;
  std::atomic<size_t> sent_{0};
  std::atomic<bool> quit_{false};
  std::atomic<bool> finished_{false};
  std::atomic<int> failures_{0};
  std::thread thread_;
};

json output_of(EncoderBridge& bridge, const std::string& id) {
  for (const json& o : bridge.outputs()) {
    if (o["id"] == id)
      return o;
  }
  return nullptr;
}

std::string payload(const std::vector<std::pair<std::string, std::string>>& destinations,
                    std::optional<int> video_bitrate = std::nullopt) {
  json outputs = json::array();
  for (const auto& [id, url] : destinations) {
    json o = {{"id", id}, {"name", id}, {"rtmpUrl", url}};
    if (video_bitrate) {
      o["videoBitrate"] = *video_bitrate;
    }
    outputs.push_back(o);
  }
  return json{{"sharedEncoding", true}, {"hasAudio", true}, {"fps", 24}, {"outputs", outputs}}
      .dump();
}

// The bridge's child processes, from /proc.
std::vector<int> children_of(int pid) {
  std::vector<int> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(task.path() / "children");
    int child;
    while (in >> child) {
      out.push_back(child);
    }
  }
  return out;
}

class SharedEncoding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rtmp_.ready()) << rtmp_.log();
    bridge_ = EncoderBridge::start(dir_.path(), {{"FFMPEG_PATH", "ffmpeg"}});
    ASSERT_TRUE(bridge_);
  }

  bool wait_state(const std::string& id, const std::string& state,
                  std::chrono::milliseconds limit = 30s) {
    return testing::waitFor(
        [&] {
          const json o = output_of(*bridge_, id);
          return o.is_object() && o.value("state", "") == state;
        },
        limit, id + " to be " + state);
  }

  testing::RtmpServer rtmp_;
  testing::TempDir dir_;
  std::unique_ptr<EncoderBridge> bridge_;
};

TEST_F(SharedEncoding, ThreeDestinationsGiveThreeRecordings) {
  const int seconds = 6;
  const std::string feed = make_feed(dir_, seconds);
  Reply r = bridge_->post(
      "/encoder/start",
      payload({{"a", rtmp_.url("a")}, {"b", rtmp_.url("b")}, {"c", " " + rtmp_.url("c") + " "}}));
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(json::parse(R"({"ok":true,"outputs":["a","b","c"]})"), r.json());
  // One encoding child and three publishers.
  EXPECT_EQ(4u, children_of(bridge_->child.pid()).size());

  RealTimeFeed sender(bridge_->port, feed, seconds);
  sender.start();
  for (const char* id : {"a", "b", "c"}) {
    EXPECT_TRUE(wait_state(id, "live")) << bridge_->status();
  }
  const json a = output_of(*bridge_, "a");
  EXPECT_TRUE(a["encoder"].is_object()) << a;
  EXPECT_GT(a["bitrateKbps"].get<double>(), 0) << a;
  EXPECT_EQ(0, a["reconnects"]);
  EXPECT_EQ(std::string::npos, bridge_->request("GET", "/encoder/status").body.find("rtmp://"));
  ASSERT_TRUE(testing::waitFor([&] { return sender.done(); }, 60s, "the whole feed to be posted"));
  EXPECT_EQ(0, sender.failures());
  // Every destination took the same encoded stream.
  const json outputs = bridge_->outputs();
  ASSERT_EQ(3u, outputs.size());
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  EXPECT_EQ(json::array(), bridge_->outputs());
  EXPECT_TRUE(testing::waitFor([&] { return children_of(bridge_->child.pid()).empty(); }, 10s,
                               "every child to be gone"));
  for (const char* id : {"a", "b", "c"}) {
    expect_whole_recording(rtmp_.recording(id), seconds - 2.0);
  }
}

TEST_F(SharedEncoding, DestinationsJoinMidStreamWithoutTheHeadResent) {
  const int seconds = 12;
  const std::string feed = make_feed(dir_, seconds);
  Reply r = bridge_->post("/encoder/start", payload({{"first", rtmp_.url("first")}}));
  ASSERT_EQ(200, r.status) << r.body;
  RealTimeFeed sender(bridge_->port, feed, seconds);
  sender.start();
  ASSERT_TRUE(wait_state("first", "live"));

  // Same settings: only a publisher joins the running encoding child.
  const auto joined_at = std::chrono::steady_clock::now();
  r = bridge_->post("/encoder/output/start", payload({{"same", rtmp_.url("same")}}));
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(3u, children_of(bridge_->child.pid()).size());
  ASSERT_TRUE(wait_state("same", "live")) << bridge_->status();
  RecordProperty("join_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - joined_at)
                                                 .count()));
  // New settings: a second encoding child starts on the running feed.
  const auto other_at = std::chrono::steady_clock::now();
  r = bridge_->post("/encoder/output/start", payload({{"other", rtmp_.url("other")}}, 1000));
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(5u, children_of(bridge_->child.pid()).size());
  ASSERT_TRUE(wait_state("other", "live")) << bridge_->status();
  RecordProperty("new_rendition_join_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - other_at)
                                      .count()));
  const size_t remaining_at_join = feed.size() - sender.sent();

  // A front end that re-sends the head for a destination changes nothing.
  const std::string head = feed.substr(0, 4096);
  r = bridge_->post("/encoder/chunk", head, {{"X-Wrenfield-Destination", "other"}});
  EXPECT_EQ(200, r.status) << r.body;

  ASSERT_TRUE(testing::waitFor([&] { return sender.done(); }, 60s, "the whole feed to be posted"));
  EXPECT_EQ(0, sender.failures());
  for (const char* id : {"first", "same", "other"}) {
    const json o = output_of(*bridge_, id);
    EXPECT_NE("failed", o.value("state", "")) << o;
    EXPECT_EQ(0, o["reconnects"]) << o;
  }
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  expect_whole_recording(rtmp_.recording("first"), seconds - 2.0);
  // The joiners record from a keyframe to the end: no more than the feed
  // that was left, less one keyframe interval.
  const double left = seconds * static_cast<double>(remaining_at_join) / feed.size();
  expect_whole_recording(rtmp_.recording("same"), 1.0);
  expect_whole_recording(rtmp_.recording("other"), std::max(0.5, left - 2.5));
}

TEST_F(SharedEncoding, ADestinationReconnectsWhileTheOthersRecordOn) {
  testing::RtmpServer blinking;
  ASSERT_TRUE(blinking.ready()) << blinking.log();
  const int seconds = 20;
  const std::string feed = make_feed(dir_, seconds);
  Reply r =
      bridge_->post("/encoder/start",
                    payload({{"steady", rtmp_.url("steady")}, {"blink", blinking.url("blink")}}));
  ASSERT_EQ(200, r.status) << r.body;
  RealTimeFeed sender(bridge_->port, feed, seconds);
  sender.start();
  ASSERT_TRUE(wait_state("blink", "live"));
  const int first_pid = output_of(*bridge_, "blink")["processId"];

  blinking.kill();
  ASSERT_TRUE(wait_state("blink", "reconnecting")) << bridge_->status();
  EXPECT_EQ(false, output_of(*bridge_, "blink")["running"]);
  ASSERT_TRUE(blinking.restart()) << blinking.log();
  const auto back_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_state("blink", "live")) << bridge_->status();
  RecordProperty("recovery_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - back_at)
                                      .count()));
  const json blink = output_of(*bridge_, "blink");
  EXPECT_GE(blink["reconnects"].get<int>(), 1) << blink;
  EXPECT_NE(first_pid, blink["processId"]) << blink;
  EXPECT_EQ("live", output_of(*bridge_, "steady").value("state", ""));
  EXPECT_EQ(0, output_of(*bridge_, "steady")["reconnects"]);

  ASSERT_TRUE(testing::waitFor([&] { return sender.done(); }, 90s, "the whole feed to be posted"));
  EXPECT_EQ(0, sender.failures());
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  // The steady destination has the whole program without a gap; the blinking
  // one's new recording is whole from its return.
  expect_whole_recording(rtmp_.recording("steady"), seconds - 2.0);
  EXPECT_LT(longest_video_gap(rtmp_.recording("steady")), 0.5);
  expect_whole_recording(blinking.recording("blink"), 1.0);
}

TEST_F(SharedEncoding, StopDuringAReconnectWaitEndsEverything) {
  testing::RtmpServer blinking;
  ASSERT_TRUE(blinking.ready()) << blinking.log();
  const int seconds = 10;
  const std::string feed = make_feed(dir_, seconds);
  Reply r =
      bridge_->post("/encoder/start",
                    payload({{"steady", rtmp_.url("steady")}, {"blink", blinking.url("blink")}}));
  ASSERT_EQ(200, r.status) << r.body;
  RealTimeFeed sender(bridge_->port, feed, seconds);
  sender.start();
  ASSERT_TRUE(wait_state("blink", "live"));
  blinking.kill();
  ASSERT_TRUE(wait_state("blink", "reconnecting")) << bridge_->status();
  sender.stop();

  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  EXPECT_EQ(json::array(), bridge_->outputs());
  EXPECT_TRUE(children_of(bridge_->child.pid()).empty());
  // With the server back, nothing comes to publish: the bridge has no
  // children and a chunk finds no encoder.
  ASSERT_TRUE(blinking.restart());
  EXPECT_EQ(502, bridge_->post("/encoder/chunk", "x").status);
  EXPECT_TRUE(children_of(bridge_->child.pid()).empty());
}

TEST(SharedEncodingPayload, ANonBooleanSwitchIsRefusedWithTheEndpointsOwnText) {
  testing::TempDir dir;
  auto bridge = EncoderBridge::start(dir.path(), {{"FFMPEG_PATH", "ffmpeg"}});
  ASSERT_TRUE(bridge);
  for (const char* value : {R"("true")", "1", "{}"}) {
    const std::string body =
        std::string(R"({"sharedEncoding": )") + value +
        R"(, "outputs": [{"id": "a", "rtmpUrl": "rtmp://127.0.0.1:9/live/a"}]})";
    Reply r = bridge->post("/encoder/start", body);
    EXPECT_EQ(400, r.status) << body;
    EXPECT_EQ(json::parse(R"({"error":"Invalid encoder settings"})"), r.json()) << body;
    r = bridge->post("/encoder/output/start", body);
    EXPECT_EQ(400, r.status) << body;
    EXPECT_EQ(json::parse(R"({"error":"Invalid destination settings"})"), r.json()) << body;
  }
  EXPECT_EQ(json::array(), bridge->outputs());
}

}  // namespace
}  // namespace wf::encoder_test
