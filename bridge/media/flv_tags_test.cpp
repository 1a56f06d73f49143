#include "bridge/media/flv_tags.h"

#include <gtest/gtest.h>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace wf::bridge {
namespace {

std::string be(uint32_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  return out;
}

std::string file_header() {
  return std::string("FLV\x01\x05", 5) + be(9, 4) + be(0, 4);
}

std::string tag(uint8_t type, uint32_t ms, const std::string& body) {
  return std::string(1, static_cast<char>(type)) + be(static_cast<uint32_t>(body.size()), 3) +
         be(ms & 0xFFFFFF, 3) + std::string(1, static_cast<char>(ms >> 24)) + be(0, 3) + body +
         be(static_cast<uint32_t>(11 + body.size()), 4);
}

const std::string METADATA = tag(18, 0, std::string("\x02\x00\x0A", 3) + "onMetaData" + "\x08");
const std::string VIDEO_SEQ = tag(9, 0, std::string("\x17\x00\x00\x00\x00\x01\x64", 7));
const std::string AUDIO_SEQ = tag(8, 0, std::string("\xAF\x00\x11\x90", 4));
std::string key(uint32_t ms) {
  return tag(9, ms, std::string("\x17\x01\x00\x00\x00kf", 7));
}
std::string inter(uint32_t ms) {
  return tag(9, ms, std::string("\x27\x01\x00\x00\x00pf", 7));
}
std::string audio(uint32_t ms) {
  return tag(8, ms, std::string("\xAF\x01sound", 7));
}

// A stream with every kind of unit, keyframes at 0 and 100 ms.
std::string sample_stream() {
  return file_header() + METADATA + VIDEO_SEQ + AUDIO_SEQ + key(0) + audio(0) + inter(33) +
         audio(21) + inter(66) + key(100) + audio(42) +
         tag(18, 110, std::string("\x02\x00\x03", 3) + "abc") +
         tag(9, 120, std::string("\x17\x02\x00\x00\x00", 5));
}

const std::vector<FlvTagKind> SAMPLE_KINDS = {FlvTagKind::FileHeader,
                                              FlvTagKind::Metadata,
                                              FlvTagKind::VideoSequenceHeader,
                                              FlvTagKind::AudioSequenceHeader,
                                              FlvTagKind::VideoKeyframe,
                                              FlvTagKind::AudioFrame,
                                              FlvTagKind::VideoFrame,
                                              FlvTagKind::AudioFrame,
                                              FlvTagKind::VideoFrame,
                                              FlvTagKind::VideoKeyframe,
                                              FlvTagKind::AudioFrame,
                                              FlvTagKind::Other,
                                              FlvTagKind::Other};

std::vector<FlvTag> split_whole(const std::string& stream) {
  FlvSplitter s;
  std::vector<FlvTag> out;
  EXPECT_TRUE(s.push(stream, out).ok());
  return out;
}

std::string joined(const std::vector<FlvTag>& tags) {
  std::string out;
  for (const FlvTag& t : tags) {
    out += *t.bytes;
  }
  return out;
}

TEST(FlvSplitter, ClassifiesEveryUnitAndKeepsItsBytes) {
  const std::string stream = sample_stream();
  const std::vector<FlvTag> tags = split_whole(stream);
  ASSERT_EQ(SAMPLE_KINDS.size(), tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(SAMPLE_KINDS[i], tags[i].kind) << "unit " << i;
  }
  EXPECT_EQ(stream, joined(tags));
  EXPECT_EQ(13u, tags[0].bytes->size());
  EXPECT_EQ(100u, tags[9].timestamp_ms);
}

// Any split of the stream, into two or three pushes, gives the same units.
TEST(FlvSplitter, AnySplitGivesTheSameUnits) {
  const std::string stream = sample_stream();
  const std::vector<FlvTag> whole = split_whole(stream);
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      FlvSplitter s;
      std::vector<FlvTag> out;
      ASSERT_TRUE(s.push(std::string_view(stream).substr(0, i), out).ok());
      ASSERT_TRUE(s.push(std::string_view(stream).substr(i, j - i), out).ok());
      ASSERT_TRUE(s.push(std::string_view(stream).substr(j), out).ok());
      ASSERT_EQ(whole.size(), out.size()) << i << "," << j;
      for (size_t k = 0; k < out.size(); ++k) {
        ASSERT_EQ(whole[k].kind, out[k].kind);
        ASSERT_EQ(whole[k].timestamp_ms, out[k].timestamp_ms);
        ASSERT_EQ(*whole[k].bytes, *out[k].bytes);
      }
      ASSERT_EQ(stream.size(), s.consumed());
    }
  }
}

TEST(FlvSplitter, GivesAUnitOnlyOnceItIsWhole) {
  const std::string stream = file_header() + key(5);
  FlvSplitter s;
  std::vector<FlvTag> out;
  ASSERT_TRUE(s.push(std::string_view(stream).substr(0, stream.size() - 1), out).ok());
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(13u, s.consumed());
  ASSERT_TRUE(s.push(std::string_view(stream).substr(stream.size() - 1), out).ok());
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ(FlvTagKind::VideoKeyframe, out[1].kind);
}

TEST(FlvSplitter, ReadsTheTimestampExtension) {
  const std::vector<FlvTag> tags = split_whole(file_header() + audio(0x12345678));
  ASSERT_EQ(2u, tags.size());
  EXPECT_EQ(0x12345678u, tags[1].timestamp_ms);
}

TEST(FlvSplitter, RefusesMalformedStreamsAndStaysFailed) {
  std::string mismatch = key(0);
  mismatch.back() ^= 1;
  struct Case {
    std::string stream;
    std::string error;
    size_t units;  // given before the fault
  };
  const Case cases[] = {
      {"GIF89a\x01\x02\x03\x04\x05\x06", "not an FLV stream", 0},
      {std::string("FLV\x01\x05", 5) + be(8, 4) + be(0, 4), "FLV header size out of range", 0},
      {std::string("FLV\x01\x05", 5) + be(1025, 4), "FLV header size out of range", 0},
      {file_header() + METADATA + mismatch, "FLV tag size mismatch", 2},
  };
  for (const Case& c : cases) {
    FlvSplitter s;
    std::vector<FlvTag> out;
    const Status status = s.push(c.stream, out);
    ASSERT_FALSE(status.ok()) << c.error;
    EXPECT_EQ(c.error, status.error().message());
    EXPECT_EQ(c.units, out.size()) << c.error;
    EXPECT_TRUE(s.failed());
    const Status again = s.push(key(1), out);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(c.error, again.error().message());
    EXPECT_EQ(c.units, out.size());
  }
}

TEST(FlvSplitter, TakesALongerFileHeaderWhole) {
  const std::string header = std::string("FLV\x01\x05", 5) + be(12, 4) + "xyz" + be(0, 4);
  const std::vector<FlvTag> tags = split_whole(header + key(0));
  ASSERT_EQ(2u, tags.size());
  EXPECT_EQ(header, *tags[0].bytes);
}

TEST(FlvTagKind, ClassifiesByCodecAndPacketType) {
  struct Case {
    std::string unit;
    FlvTagKind kind;
  };
  const Case cases[] = {
      {tag(9, 0, std::string("\x17\x00", 2)), FlvTagKind::VideoSequenceHeader},
      {tag(9, 0, "\x17\x01"), FlvTagKind::VideoKeyframe},
      {tag(9, 0, "\x27\x01"), FlvTagKind::VideoFrame},
      {tag(9, 0, "\x17\x02"), FlvTagKind::Other},  // end of sequence
      {tag(9, 0, "\x17"), FlvTagKind::Other},
      {tag(9, 0, "\x12"), FlvTagKind::VideoKeyframe},  // not AVC: the frame type decides
      {tag(9, 0, "\x52"), FlvTagKind::Other},          // a command frame
      {tag(9, 0, ""), FlvTagKind::Other},
      {tag(8, 0, std::string("\xAF\x00", 2)), FlvTagKind::AudioSequenceHeader},
      {tag(8, 0, "\xAF\x01"), FlvTagKind::AudioFrame},
      {tag(8, 0, "\x2F"), FlvTagKind::AudioFrame},  // MP3
      {tag(8, 0, "\xAF"), FlvTagKind::Other},
      {tag(0x28, 0, "\xAF\x01"), FlvTagKind::Other},  // filtered (encrypted)
      {tag(18, 0, std::string("\x02\x00\x0A", 3) + "onMetaData"), FlvTagKind::Metadata},
      {tag(18, 0, std::string("\x02\x00\x0A", 3) + "onMetaDatb"), FlvTagKind::Other},
      {tag(18, 0, std::string("\x02\x00\x09", 3) + "onMetaData"), FlvTagKind::Other},
      {tag(7, 0, "x"), FlvTagKind::Other},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kind, classify_flv_unit(c.unit)) << ::testing::PrintToString(c.unit);
  }
}

TEST(FlvHead, KeepsTheLatestHeadInStreamOrder) {
  FlvHead head;
  std::vector<FlvTag> tags = split_whole(file_header() + AUDIO_SEQ + METADATA);
  for (const FlvTag& t : tags) {
    head.observe(t);
  }
  EXPECT_FALSE(head.ready());
  const std::string newer_video = tag(9, 7, std::string("\x17\x00\x00\x00\x00\x02", 6));
  FlvSplitter s;
  std::vector<FlvTag> more;
  ASSERT_TRUE(s.push(file_header() + VIDEO_SEQ + newer_video + key(9), more).ok());
  head.observe(more[1]);
  head.observe(more[2]);
  head.observe(more[3]);  // a frame is not part of the head
  EXPECT_TRUE(head.ready());
  EXPECT_EQ(file_header() + METADATA + newer_video + AUDIO_SEQ, joined(head.tags()));

  head.observe(more[0]);  // a new stream: the old head is gone
  EXPECT_FALSE(head.ready());
  EXPECT_EQ(file_header(), joined(head.tags()));
}

TEST(FlvJoin, StartsWithTheHeadAtTheNextKeyframe) {
  const std::vector<FlvTag> tags = split_whole(sample_stream());
  FlvHead head;
  // A publisher that arrives after the first keyframe.
  for (size_t i = 0; i < 6; ++i) {
    head.observe(tags[i]);
  }
  FlvJoin join;
  std::string got;
  for (size_t i = 6; i < tags.size(); ++i) {
    head.observe(tags[i]);
    for (const SharedBytes& b : join.admit(tags[i], head)) {
      got += *b;
    }
    EXPECT_EQ(i >= 9, join.joined()) << i;
  }
  std::string expected = file_header() + METADATA + VIDEO_SEQ + AUDIO_SEQ;
  for (size_t i = 9; i < tags.size(); ++i) {
    expected += *tags[i].bytes;
  }
  EXPECT_EQ(expected, got);
}

TEST(FlvJoin, SharesTheTagsItPasses) {
  const std::vector<FlvTag> tags = split_whole(file_header() + VIDEO_SEQ + key(0) + audio(1));
  FlvHead head;
  FlvJoin join;
  std::vector<SharedBytes> out;
  for (const FlvTag& t : tags) {
    head.observe(t);
    for (SharedBytes& b : join.admit(t, head)) {
      out.push_back(std::move(b));
    }
  }
  ASSERT_EQ(4u, out.size());
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(tags[i].bytes.get(), out[i].get());
  }
}

TEST(FlvJoin, WaitsForAHeadWithTheVideoSequenceHeader) {
  std::vector<FlvTag> tags = split_whole(file_header() + key(0) + VIDEO_SEQ + inter(1) + key(2));
  tags.push_back(split_whole(file_header())[0]);
  FlvHead head;
  FlvJoin join;
  std::vector<size_t> sizes;
  for (const FlvTag& t : tags) {
    head.observe(t);
    sizes.push_back(join.admit(t, head).size());
  }
  // No head at the first keyframe; at the second, header + sequence header +
  // keyframe; a later file header never reaches the publisher.
  EXPECT_EQ((std::vector<size_t>{0, 0, 0, 0, 3, 0}), sizes);
}

TEST(FlvTag, WithTimestampRetimesACopy) {
  const std::vector<FlvTag> tags = split_whole(file_header() + VIDEO_SEQ);
  const SharedBytes moved = with_timestamp(tags[1], 0x01020304);
  EXPECT_EQ(tag(9, 0x01020304, std::string("\x17\x00\x00\x00\x00\x01\x64", 7)), *moved);
  EXPECT_EQ(VIDEO_SEQ, *tags[1].bytes);
  EXPECT_EQ(tags[0].bytes.get(), with_timestamp(tags[0], 5).get());
}

// The real encoder's output: a publisher that joins at a later keyframe gets
// a stream that decodes from its first byte.
TEST(FlvSplitter, JoinsRealEncoderOutputAtAKeyframe) {
  wf::testing::TempDir dir;
  const std::string flv = dir.file("in.flv");
  wf::testing::ExitStatus status;
  wf::testing::runCommand({"ffmpeg",  "-nostdin",  "-v",   "error",
                           "-f",      "lavfi",     "-i",   "testsrc2=size=160x120:rate=30",
                           "-f",      "lavfi",     "-i",   "sine=frequency=440:sample_rate=48000",
                           "-t",      "3",         "-c:v", "libx264",
                           "-preset", "ultrafast", "-g",   "30",
                           "-c:a",    "aac",       "-f",   "flv",
                           flv},
                          &status);
  ASSERT_TRUE(status.exited && status.code == 0);
  const std::string stream = wf::testing::readFile(flv);

  FlvSplitter splitter;
  std::vector<FlvTag> tags;
  for (size_t at = 0; at < stream.size(); at += 1000) {
    ASSERT_TRUE(splitter.push(std::string_view(stream).substr(at, 1000), tags).ok());
  }
  ASSERT_EQ(stream, joined(tags));
  size_t keyframes = 0;
  for (const FlvTag& t : tags) {
    keyframes += t.kind == FlvTagKind::VideoKeyframe;
  }
  ASSERT_GE(keyframes, 3u);

  // Join after the first keyframe, at the second.
  FlvHead head;
  FlvJoin join;
  std::string out;
  size_t seen = 0;
  for (const FlvTag& t : tags) {
    head.observe(t);
    seen += t.kind == FlvTagKind::VideoKeyframe;
    if (seen == 0 || (seen == 1 && t.kind != FlvTagKind::VideoKeyframe)) {
      continue;
    }
    for (const SharedBytes& b : join.admit(t, head)) {
      out += *b;
    }
  }
  ASSERT_TRUE(join.joined());
  const std::string joined_path = dir.write("joined.flv", out);
  const std::string probe =
      wf::testing::runCommand({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name",
                               "-of", "csv=p=0", joined_path},
                              &status);
  ASSERT_TRUE(status.exited && status.code == 0);
  EXPECT_EQ("h264\naac\n", probe);
  const std::string errors = wf::testing::runCommand(
      {"sh", "-c", "ffmpeg -nostdin -v error -i '" + joined_path + "' -f null - 2>&1"}, &status);
  EXPECT_TRUE(status.exited && status.code == 0);
  EXPECT_EQ("", errors);
}

}  // namespace
}  // namespace wf::bridge
