#include "bridge/encoder/arguments.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace wf::bridge {
namespace {

EncoderStartRequest request_with(bool has_audio, std::optional<std::string> resolution) {
  EncoderStartRequest r;
  r.has_audio = has_audio;
  EncoderOutputRequest o;
  o.rtmp_url = "rtmp://127.0.0.1/live/key";
  o.resolution = std::move(resolution);
  r.outputs.push_back(o);
  return r;
}

std::vector<std::string> args_of(const EncoderStartRequest& r) {
  auto a = encoder_arguments(r, r.outputs.at(0));
  EXPECT_TRUE(a.ok());
  return a.ok() ? a.value() : std::vector<std::string>{};
}

// The value after the first occurrence of `flag`, or "" when it is absent.
std::string after(const std::vector<std::string>& args, const std::string& flag) {
  auto it = std::find(args.begin(), args.end(), flag);
  return it == args.end() || it + 1 == args.end() ? "" : *(it + 1);
}

TEST(EncoderArguments, CountsForAudioAndResolution) {
  struct Case {
    bool has_audio;
    std::optional<std::string> resolution;
    size_t count;
  };
  const Case cases[] = {
      {true, std::nullopt, 40},
      {true, "1080p", 42},
      {false, std::nullopt, 49},
      {false, "4k", 51},
  };
  for (const Case& c : cases) {
    auto args = args_of(request_with(c.has_audio, c.resolution));
    EXPECT_EQ(c.count, args.size()) << c.has_audio << " " << c.resolution.value_or("-");
    EXPECT_EQ(c.has_audio ? 0 : 2, std::count(args.begin(), args.end(), "-map"));
    EXPECT_EQ(c.has_audio ? 0 : 1, std::count(args.begin(), args.end(), "-shortest"));
    EXPECT_EQ("rtmp://127.0.0.1/live/key", args.back());
  }
}

TEST(EncoderArguments, FullVectorWithSilentAudioAndScaling) {
  EncoderStartRequest r = request_with(false, "720p");
  r.input_format = "mp4";
  r.fps = 25;
  r.outputs[0].rtmp_url = " \t rtmp://h/app/k \n";
  const std::vector<std::string> expected = {"-hide_banner",
                                             "-loglevel",
                                             "info",
                                             "-fflags",
                                             "+genpts",
                                             "-f",
                                             "mov",
                                             "-i",
                                             "pipe:0",
                                             "-f",
                                             "lavfi",
                                             "-i",
                                             "anullsrc=r=48000:cl=stereo",
                                             "-map",
                                             "0:v:0",
                                             "-map",
                                             "1:a:0",
                                             "-shortest",
                                             "-vf",
                                             "scale=1280:720",
                                             "-c:v",
                                             "libx264",
                                             "-preset",
                                             "veryfast",
                                             "-tune",
                                             "zerolatency",
                                             "-r",
                                             "25",
                                             "-fps_mode",
                                             "cfr",
                                             "-pix_fmt",
                                             "yuv420p",
                                             "-b:v",
                                             "4500k",
                                             "-maxrate",
                                             "4500k",
                                             "-bufsize",
                                             "9000k",
                                             "-g",
                                             "50",
                                             "-c:a",
                                             "aac",
                                             "-b:a",
                                             "160k",
                                             "-ar",
                                             "48000",
                                             "-f",
                                             "flv",
                                             "-rw_timeout",
                                             "5000000",
                                             "rtmp://h/app/k"};
  EXPECT_EQ(expected, args_of(r));
}

TEST(EncoderArguments, EffectiveSettingsReachTheirFlags) {
  EncoderStartRequest r = request_with(true, std::nullopt);
  r.fps = 0;
  r.video_bitrate = 100000;
  r.audio_bitrate = 1;
  r.outputs[0].video_bitrate = 500;
  auto args = args_of(r);
  EXPECT_EQ("24", after(args, "-r"));
  EXPECT_EQ("48", after(args, "-g"));
  EXPECT_EQ("800k", after(args, "-b:v"));
  EXPECT_EQ("800k", after(args, "-maxrate"));
  EXPECT_EQ("1600k", after(args, "-bufsize"));
  EXPECT_EQ("64k", after(args, "-b:a"));
  EXPECT_EQ("webm", after(args, "-f"));
  EXPECT_EQ("", after(args, "-vf"));
}

TEST(EncoderArguments, FailsOnUnknownTables) {
  EncoderStartRequest r = request_with(true, "4K");
  auto a = encoder_arguments(r, r.outputs[0]);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ("Unsupported destination resolution", a.error().message());
  r = request_with(true, std::nullopt);
  r.input_format = "mov";
  a = encoder_arguments(r, r.outputs[0]);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ("Unsupported program input format", a.error().message());
}

}  // namespace
}  // namespace wf::bridge
