#include "bridge/encoder/payload.h"

#include <gtest/gtest.h>

#include <string>

namespace wf::bridge {
namespace {

EncoderStartRequest parse_ok(const std::string& text) {
  auto r = parse_encoder_start_request(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().chain());
  return r.ok() ? r.value() : EncoderStartRequest{};
}

TEST(EncoderPayload, RejectsMalformedPayloads) {
  const char* const cases[] = {
      "",
      "not json",
      "[]",
      "null",
      "{}",
      R"({"outputs": null})",
      R"({"outputs": {}})",
      R"({"outputs": ["rtmp://a"]})",
      R"({"outputs": [{}]})",
      R"({"outputs": [{"rtmpUrl": null}]})",
      R"({"outputs": [{"rtmpUrl": 5}]})",
      R"({"outputs": [{"rtmpUrl": "x", "id": 5}]})",
      R"({"outputs": [{"rtmpUrl": "x", "name": false}]})",
      R"({"outputs": [{"rtmpUrl": "x", "resolution": 720}]})",
      R"({"outputs": [{"rtmpUrl": "x", "videoBitrate": "4500"}]})",
      R"({"outputs": [], "fps": 29.97})",
      R"({"outputs": [], "fps": 30.0})",
      R"({"outputs": [], "fps": 3e1})",
      R"({"outputs": [], "fps": -1})",
      R"({"outputs": [], "fps": -0})",
      R"({"outputs": [], "fps": "30"})",
      R"({"outputs": [], "fps": 4294967296})",
      R"({"outputs": [], "audioBitrate": 1e400})",
      R"({"outputs": [], "hasAudio": "true"})",
      R"({"outputs": [], "hasAudio": 1})",
      R"({"outputs": [], "inputFormat": 4})",
      R"({"outputs": [], "fps": 30, "fps": 30})",
      R"({"outputs": [], "outputs": []})",
      R"({"outputs": [{"rtmpUrl": "a", "id": "x", "id": "y"}]})",
      R"({"outputs": [{"rtmpUrl": "a"}, {"rtmpUrl": "b", "rtmpUrl": "b"}]})",
      R"({"outputs": []} trailing)",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parse_encoder_start_request(text).ok()) << text;
  }
}

TEST(EncoderPayload, NullMeansAbsentAndUnknownMembersAreIgnored) {
  EncoderStartRequest r = parse_ok(R"({"outputs": [{"rtmpUrl": " u ", "id": null, "name": null,
      "resolution": null, "videoBitrate": null, "extra": {"k": 1, "k": 2}}],
      "inputFormat": null, "hasAudio": null, "fps": null, "videoBitrate": null,
      "audioBitrate": null, "future": [1, {"a": 1, "a": 2}], "more": "x"})");
  ASSERT_EQ(1u, r.outputs.size());
  const EncoderOutputRequest& o = r.outputs[0];
  EXPECT_EQ(" u ", o.rtmp_url);  // trimmed only where it is used
  EXPECT_FALSE(o.id || o.name || o.resolution || o.video_bitrate);
  EXPECT_FALSE(r.input_format || r.fps || r.video_bitrate || r.audio_bitrate);
  EXPECT_FALSE(r.has_audio);
}

TEST(EncoderPayload, ReadsEveryMember) {
  EncoderStartRequest r = parse_ok(R"({"hasAudio": true, "inputFormat": "mp4",
      "fps": 4294967295, "videoBitrate": 0, "audioBitrate": 96, "outputs": [
      {"rtmpUrl": "a", "id": "main", "name": "Main \u00e9", "resolution": "720p",
       "videoBitrate": 6000}, {"rtmpUrl": ""}]})");
  EXPECT_TRUE(r.has_audio);
  EXPECT_EQ("mp4", r.input_format);
  EXPECT_EQ(4294967295u, r.fps);
  EXPECT_EQ(0u, r.video_bitrate);
  EXPECT_EQ(96u, r.audio_bitrate);
  ASSERT_EQ(2u, r.outputs.size());
  EXPECT_EQ("main", r.outputs[0].id);
  EXPECT_EQ("Main \xC3\xA9", r.outputs[0].name);
  EXPECT_EQ("720p", r.outputs[0].resolution);
  EXPECT_EQ(6000u, r.outputs[0].video_bitrate);
  EXPECT_EQ("", r.outputs[1].rtmp_url);
}

TEST(EncoderPayload, ClampsAndDefaults) {
  struct Case {
    const char* members;
    uint32_t fps, video, audio;
  };
  const Case cases[] = {
      {"", 30, 4500, 160},
      {R"("fps": 0, "videoBitrate": 0, "audioBitrate": 0)", 24, 800, 64},
      {R"("fps": 23, "videoBitrate": 799, "audioBitrate": 63)", 24, 800, 64},
      {R"("fps": 24, "videoBitrate": 800, "audioBitrate": 64)", 24, 800, 64},
      {R"("fps": 60, "videoBitrate": 30000, "audioBitrate": 320)", 60, 30000, 320},
      {R"("fps": 61, "videoBitrate": 100000, "audioBitrate": 321)", 60, 30000, 320},
      {R"("fps": 1000, "videoBitrate": 4294967295, "audioBitrate": 4294967295)", 60, 30000, 320},
  };
  for (const Case& c : cases) {
    std::string text = std::string(R"({"outputs": [{"rtmpUrl": "u"}])") + (*c.members ? ", " : "") +
                       c.members + "}";
    EncoderStartRequest r = parse_ok(text);
    ASSERT_EQ(1u, r.outputs.size());
    EXPECT_EQ(c.fps, effective_fps(r)) << text;
    EXPECT_EQ(c.video, effective_video_bitrate(r, r.outputs[0])) << text;
    EXPECT_EQ(c.audio, effective_audio_bitrate(r)) << text;
  }
}

TEST(EncoderPayload, DestinationBitrateOverridesAndIsClampedForItselfOnly) {
  EncoderStartRequest r = parse_ok(R"({"videoBitrate": 100000, "outputs": [
      {"rtmpUrl": "a", "videoBitrate": 500}, {"rtmpUrl": "b"},
      {"rtmpUrl": "c", "videoBitrate": 6000}]})");
  EXPECT_EQ(800u, effective_video_bitrate(r, r.outputs[0]));
  EXPECT_EQ(30000u, effective_video_bitrate(r, r.outputs[1]));
  EXPECT_EQ(6000u, effective_video_bitrate(r, r.outputs[2]));
}

TEST(EncoderPayload, DestinationIdRule) {
  struct Case {
    std::string id;
    bool valid;
  };
  const Case cases[] = {
      {"", false},
      {std::string(120, 'a'), true},
      {std::string(121, 'a'), false},
      {std::string(119, 'Z') + "_", true},
      {"Az09-_", true},
      {"a b", false},
      {"a.b", false},
      {"caf\xC3\xA9", false},
      {"a/b", false},
      {" a", false},
      {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, valid_output_id(c.id)) << c.id.size() << " bytes: " << c.id;
  }
}

TEST(EncoderPayload, LegacyIdsAndNamesCountFromTheIndex) {
  EXPECT_EQ("legacy-output-0", legacy_output_id(0));
  EXPECT_EQ("legacy-output-12", legacy_output_id(12));
  EXPECT_EQ("Output 1", default_output_name(0));
  EXPECT_EQ("Output 13", default_output_name(12));
  EXPECT_TRUE(valid_output_id(legacy_output_id(123456789)));
}

TEST(EncoderPayload, InputContainerTable) {
  struct Case {
    std::optional<std::string> format;
    const char* demuxer;  // null: unsupported
  };
  const Case cases[] = {
      {std::nullopt, "webm"}, {"webm", "webm"},  {"mp4", "mov"}, {"mov", nullptr},
      {"MP4", nullptr},       {"WebM", nullptr}, {"", nullptr},  {" mp4", nullptr},
  };
  for (const Case& c : cases) {
    auto r = input_demuxer(c.format);
    if (c.demuxer) {
      ASSERT_TRUE(r.ok()) << c.format.value_or("(absent)");
      EXPECT_EQ(c.demuxer, r.value());
    } else {
      ASSERT_FALSE(r.ok()) << *c.format;
      EXPECT_EQ("Unsupported program input format", r.error().message());
    }
  }
}

TEST(EncoderPayload, ResolutionTable) {
  struct Case {
    const char* resolution;
    const char* target;  // null: unsupported
  };
  const Case cases[] = {
      {"720p", "1280:720"}, {"1080p", "1920:1080"}, {"1440p", "2560:1440"}, {"4k", "3840:2160"},
      {"4K", nullptr},      {"720", nullptr},       {"720P", nullptr},      {"", nullptr},
      {"2160p", nullptr},   {" 720p", nullptr},
  };
  for (const Case& c : cases) {
    auto r = scale_target(c.resolution);
    if (c.target) {
      ASSERT_TRUE(r.ok()) << c.resolution;
      EXPECT_EQ(c.target, r.value());
    } else {
      ASSERT_FALSE(r.ok()) << c.resolution;
      EXPECT_EQ("Unsupported destination resolution", r.error().message());
    }
  }
}

TEST(EncoderPayload, SharedEncodingIsABooleanSwitch) {
  struct Case {
    const char* member;
    bool shared;
  };
  const Case cases[] = {{"", false},
                        {R"(, "sharedEncoding": null)", false},
                        {R"(, "sharedEncoding": false)", false},
                        {R"(, "sharedEncoding": true)", true}};
  for (const Case& c : cases) {
    const std::string text = std::string(R"({"outputs": [])") + c.member + "}";
    EXPECT_EQ(c.shared, parse_ok(text).shared_encoding) << text;
  }
  for (const char* value : {R"("true")", "1", "0", "{}", "[]"}) {
    const std::string text = std::string(R"({"outputs": [], "sharedEncoding": )") + value + "}";
    EXPECT_FALSE(parse_encoder_start_request(text).ok()) << text;
  }
}

}  // namespace
}  // namespace wf::bridge
