// The program encoder with the real encoder program, publishing to a real
// RTMP server that records what it receives.

#include <cstdio>
#include <filesystem>
#include <map>

#include "bridge/tests/encoder_harness.h"
#include "testing/rtmp_server.h"

namespace wf::encoder_test {
namespace {

using nlohmann::json;

json probe(const std::string& path) {
  testing::ExitStatus status;
  const std::string out = testing::runCommand(
      {"ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", path}, &status);
  if (!status.exited || status.code != 0) {
    return nullptr;
  }
  return json::parse(out, nullptr, false);
}

const json* stream_of(const json& info, const std::string& type) {
  for (const json& s : info["streams"]) {
    if (s.value("codec_type", "") == type)
      return &s;
  }
  return nullptr;
}

// The media time reached by the last progress line ("... time=00:00:03.20
// ...") of an encoder's diagnostic tail; 0 before the first.
double encoded_seconds(const std::string& diagnostic) {
  const size_t at = diagnostic.rfind("time=");
  int h = 0, m = 0;
  double sec = 0;
  if (at == std::string::npos ||
      std::sscanf(diagnostic.c_str() + at, "time=%d:%d:%lf", &h, &m, &sec) != 3) {
    return 0;
  }
  return h * 3600.0 + m * 60.0 + sec;
}

double duration_of(const json& info) {
  return std::stod(info["format"].value("duration", std::string("0")));
}

// Waits until the server has finished the recording: both streams present
// and the duration unchanged for 300 ms.
json finished_recording(const std::string& path) {
  json last;
  double last_duration = -1;
  auto last_change = std::chrono::steady_clock::now();
  testing::waitFor(
      [&] {
        json info = std::filesystem::exists(path) ? probe(path) : json();
        if (!info.is_object() || !stream_of(info, "video") || !stream_of(info, "audio")) {
          return false;
        }
        const double d = duration_of(info);
        const auto now = std::chrono::steady_clock::now();
        last = info;
        if (d != last_duration) {
          last_duration = d;
          last_change = now;
          return false;
        }
        return d > 0 && now - last_change >= 300ms;
      },
      30s, "a finished recording of " + path);
  return last;
}

TEST(EncoderRtmp, PublishesEachDestinationAtItsOwnProfile) {
  testing::RtmpServer rtmp;
  ASSERT_TRUE(rtmp.ready()) << rtmp.log();
  testing::TempDir dir;

  const std::string feed_path = dir.file("feed.webm");
  testing::ExitStatus made;
  testing::runCommand({"ffmpeg",    "-hide_banner",
                       "-loglevel", "error",
                       "-f",        "lavfi",
                       "-i",        "testsrc2=size=480x270:rate=24",
                       "-f",        "lavfi",
                       "-i",        "sine=frequency=440:sample_rate=48000",
                       "-t",        "3",
                       "-c:v",      "libvpx",
                       "-deadline", "realtime",
                       "-cpu-used", "8",
                       "-b:v",      "1M",
                       "-c:a",      "libopus",
                       feed_path},
                      &made);
  ASSERT_TRUE(made.exited && made.code == 0);
  const std::string feed = testing::readFile(feed_path);
  const json feed_info = probe(feed_path);
  ASSERT_TRUE(feed_info.is_object());
  const double feed_duration = duration_of(feed_info);

  auto bridge = EncoderBridge::start(dir.path(), {{"FFMPEG_PATH", "ffmpeg"}});
  ASSERT_TRUE(bridge);
  // The feed's own audio for one destination, a silent track for the other.
  Reply r =
      bridge->post("/encoder/start", json{{"hasAudio", true},
                                          {"fps", 24},
                                          {"outputs", json::array({{{"id", "hd"},
                                                                    {"name", "HD"},
                                                                    {"rtmpUrl", rtmp.url("hd")},
                                                                    {"resolution", "720p"}}})}}
                                         .dump());
  ASSERT_EQ(200, r.status) << r.body;
  r = bridge->post(
      "/encoder/output/start",
      json{{"hasAudio", false},
           {"fps", 24},
           {"outputs", json::array({{{"id", "native"}, {"rtmpUrl", " " + rtmp.url("native")}}})}}
          .dump());
  ASSERT_EQ(200, r.status) << r.body;

  const size_t piece = 64 * 1024;
  size_t sent = 0;
  while (sent < feed.size()) {
    const std::string chunk = feed.substr(sent, piece);
    r = bridge->post("/encoder/chunk", chunk);
    ASSERT_EQ(200, r.status) << bridge->request("GET", "/encoder/status").body;
    sent += chunk.size();
    // The writers count each chunk once it is in the pipe.
    Reply status;
    ASSERT_TRUE(testing::waitFor(
        [&] {
          status = bridge->request("GET", "/encoder/status");
          const json outputs = status.json()["outputs"];
          return outputs.size() == 2 && outputs[0]["bytesReceived"] == sent &&
                 outputs[1]["bytesReceived"] == sent;
        },
        30s, "both outputs to take the chunk"))
        << status.body;
    EXPECT_EQ(std::string::npos, status.body.find("rtmp://")) << status.body;
    EXPECT_EQ(std::string::npos, status.body.find("rtmps://")) << status.body;
    const json outputs = status.json()["outputs"];
    for (const json& o : outputs) {
      EXPECT_EQ(true, o["running"]) << o;
    }
  }

  // The whole feed fits into the pipes at once; a front end posts it in real
  // time. Let the encoders catch up (their progress lines say how far they
  // are) so that stopping only has to flush. How many frames a child holds
  // back until its input ends depends on the machine (decoder and encoder
  // threads), so an output also counts as caught up once its progress has
  // stood still for two seconds.
  std::map<std::string, std::pair<double, std::chrono::steady_clock::time_point>> progress;
  EXPECT_TRUE(bridge->wait_status(
      [&](const json& s) {
        const auto now = std::chrono::steady_clock::now();
        bool settled = true;
        for (const json& o : s["outputs"]) {
          const double t = encoded_seconds(o["diagnostic"]);
          auto [it, fresh] = progress.try_emplace(o["id"].get<std::string>(), t, now);
          if (fresh || it->second.first != t) {
            it->second = {t, now};
          }
          const bool still = t > 0 && now - it->second.second >= 2s;
          if (t < feed_duration - 1.0 && !still)
            settled = false;
        }
        return settled;
      },
      60s))
      << bridge->request("GET", "/encoder/status").body;

  const auto stop_begin = std::chrono::steady_clock::now();
  EXPECT_EQ(200, bridge->post("/encoder/stop").status);
  // Both children finish on end of input instead of waiting to be killed (a
  // killed child would leave no finished recording below); the bound is the
  // 2 s grace with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - stop_begin, 4000ms);

  struct Expect {
    const char* key;
    int width, height;
  };
  for (const Expect& e : {Expect{"hd", 1280, 720}, Expect{"native", 480, 270}}) {
    const json info = finished_recording(rtmp.recording(e.key));
    ASSERT_TRUE(info.is_object()) << e.key << "\n" << rtmp.log();
    const json* video = stream_of(info, "video");
    const json* audio = stream_of(info, "audio");
    ASSERT_TRUE(video && audio) << info;
    EXPECT_EQ("h264", (*video)["codec_name"]) << e.key;
    EXPECT_EQ(e.width, (*video)["width"]) << e.key;
    EXPECT_EQ(e.height, (*video)["height"]) << e.key;
    EXPECT_EQ("aac", (*audio)["codec_name"]) << e.key;
    EXPECT_EQ("48000", (*audio)["sample_rate"]) << e.key;
    EXPECT_NEAR(feed_duration, duration_of(info), 0.7) << e.key;
  }
}

}  // namespace
}  // namespace wf::encoder_test
