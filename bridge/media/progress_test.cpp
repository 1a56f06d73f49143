#include "bridge/media/progress.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

// Two reports as the encoder writes them: the first before the muxer has
// written anything, the second mid-stream.
const std::string REPORTS =
    "frame=0\nfps=0.00\nstream_0_0_q=0.0\nbitrate=N/A\ntotal_size=N/A\nout_time_us=N/A\n"
    "dup_frames=0\ndrop_frames=0\nspeed=N/A\nprogress=continue\n"
    "frame=62\nfps=29.97\nbitrate=2480.1kbits/s\ntotal_size=638976\nout_time_us=2066000\n"
    "dup_frames=2\ndrop_frames=5\nspeed=0.998x\nprogress=continue\n";

std::vector<EncoderProgress> parse(const std::string& text) {
  ProgressParser p;
  std::vector<EncoderProgress> out;
  p.push(text, out);
  return out;
}

TEST(ProgressParser, ReadsEachCompletedReport) {
  const std::vector<EncoderProgress> out = parse(REPORTS);
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ((EncoderProgress{0, 0, 0, 0}), out[0]);
  EXPECT_EQ((EncoderProgress{29.97, 0.998, 5, 2}), out[1]);
}

TEST(ProgressParser, AnySplitGivesTheSameReports) {
  const std::vector<EncoderProgress> whole = parse(REPORTS);
  for (size_t i = 0; i <= REPORTS.size(); ++i) {
    for (size_t j = i; j <= REPORTS.size(); ++j) {
      ProgressParser p;
      std::vector<EncoderProgress> out;
      p.push(REPORTS.substr(0, i), out);
      p.push(REPORTS.substr(i, j - i), out);
      p.push(REPORTS.substr(j), out);
      ASSERT_EQ(whole, out) << i << "," << j;
    }
  }
}

TEST(ProgressParser, UnreadableValuesKeepThePreviousOne) {
  struct Case {
    std::string
        second;  // lines of a report after one with fps 30, speed 1, 3 dropped, 4 duplicated
    EncoderProgress expected;
  };
  const std::string first = "fps=30\nspeed=1x\ndrop_frames=3\ndup_frames=4\nprogress=continue\n";
  const Case cases[] = {
      {"fps=N/A\nspeed=N/A\n", {30, 1, 3, 4}},
      {"fps=fast\nspeed=x\ndrop_frames=-1\ndup_frames=2e3\n", {30, 1, 3, 4}},
      {"fps=-5\nspeed=inf\ndrop_frames=\ndup_frames=99999999999999999999999\n", {30, 1, 3, 4}},
      {"fps = 25.5 \r\nspeed= 1.5x\r\ndrop_frames=7\r\n", {25.5, 1.5, 7, 4}},
      {"fps=12\nspeed=2\n", {12, 2, 3, 4}},
      {"unknown=1\nno equals sign\n=\n", {30, 1, 3, 4}},
  };
  for (const Case& c : cases) {
    const std::vector<EncoderProgress> out = parse(first + c.second + "progress=end\n");
    ASSERT_EQ(2u, out.size()) << c.second;
    EXPECT_EQ(c.expected, out[1]) << c.second;
  }
}

TEST(ProgressParser, OnlyAProgressLineEndsAReport) {
  EXPECT_TRUE(parse("fps=3\nprogress=maybe\nprogress=continue").empty());  // no line end yet
  EXPECT_EQ(1u, parse("progress=end\n").size());
}

TEST(ProgressParser, DropsOverlongLinesWhole) {
  const std::string overlong = "fps=1" + std::string(PROGRESS_LINE_LIMIT, '0') + "\n";
  const std::vector<EncoderProgress> out =
      parse("fps=7\n" + overlong + "progress=continue\n" + "fps=8\nprogress=continue\n");
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ(7, out[0].fps);
  EXPECT_EQ(8, out[1].fps);
}

}  // namespace
}  // namespace wf::bridge
