// The program encoder with the real encoder program, publishing to a real
// RTMP server that records what it receives.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

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

double duration_of(const json& info) {
  return std::stod(info["format"].value("duration", std::string("0")));
}

// Waits until the server has finished the recording of `key`: it exists,
// nginx has closed it, and it reads as a media file.
json finished_recording(const testing::RtmpServer& rtmp, const std::string& key) {
  const std::string path = rtmp.recording(key);
  json info;
  testing::waitFor(
      [&] {
        if (!std::filesystem::exists(path) || rtmp.recordingOpen(key)) {
          return false;
        }
        info = probe(path);
        return info.is_object();
      },
      30s, "nginx to close the recording " + path);
  return info;
}

// Bytes written into the child's standard input and not yet read by it: the
// pipe is opened afresh through /proc, which reaches the same pipe.
std::optional<int> unread_input(int pid) {
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  int unread = 0;
  const bool ok = ::ioctl(fd, FIONREAD, &unread) == 0;
  ::close(fd);
  return ok ? std::optional<int>(unread) : std::nullopt;
}

// True when no thread of the process is running or runnable: all of it
// waits (for more input, here).
bool all_threads_asleep(int pid) {
  std::error_code ec;
  bool any = false;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const std::string stat = testing::readFile(task.path().string() + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'S') {
      return false;
    }
    any = true;
  }
  return any;
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
                       "-cpu-used", "-8",
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
  // time. Let the encoders catch up so that stopping only has to flush: each
  // child has read its whole input and sits idle, waiting for more (seen on
  // two polls in a row, so that a thread between two steps does not count).
  std::map<int, int> idle_polls;
  EXPECT_TRUE(bridge->wait_status(
      [&](const json& s) {
        bool settled = true;
        for (const json& o : s["outputs"]) {
          const int pid = o["processId"];
          const bool idle = unread_input(pid) == 0 && all_threads_asleep(pid);
          idle_polls[pid] = idle ? idle_polls[pid] + 1 : 0;
          settled = settled && idle_polls[pid] >= 2;
        }
        return settled;
      },
      60s))
      << bridge->request("GET", "/encoder/status").body;

  // Both children finish on end of input instead of being killed at the end
  // of the grace: a killed child leaves no finished, full-length recording.
  EXPECT_EQ(200, bridge->post("/encoder/stop").status);

  struct Expect {
    const char* key;
    int width, height;
  };
  for (const Expect& e : {Expect{"hd", 1280, 720}, Expect{"native", 480, 270}}) {
    const json info = finished_recording(rtmp, e.key);
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
