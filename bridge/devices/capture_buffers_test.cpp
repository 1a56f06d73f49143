#include "bridge/devices/capture_buffers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wf::bridge {
namespace {

// Feeds `audio` in pieces of the given sizes (the last size repeats) and
// returns the buffers delivered.
std::vector<std::string> joined(const std::string& audio, size_t buffer,
                                const std::vector<size_t>& pieces) {
  CaptureBuffers buffers(buffer);
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t i = 0; at < audio.size(); ++i) {
    const size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], audio.size() - at);
    buffers.add(std::string_view(audio).substr(at, n),
                [&](std::string_view b) { out.emplace_back(b); });
    at += n;
  }
  return out;
}

std::string audio_of(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    s[i] = static_cast<char>(i * 7 + 3);
  }
  return s;
}

TEST(CaptureBuffers, WholeBuffersComeOutInOrderHoweverTheServerSplitsTheAudio) {
  const std::string audio = audio_of(64 * 10 + 17);
  const struct {
    const char* name;
    std::vector<size_t> pieces;
  } cases[] = {
      {"one piece", {audio.size()}},
      {"single bytes", {1}},
      {"pieces of a buffer", {64}},
      {"pieces that straddle buffers", {50}},
      {"a few frames, then large", {3, 5, 200}},
      {"two and a half buffers", {160}},
  };
  for (const auto& c : cases) {
    const auto out = joined(audio, 64, c.pieces);
    ASSERT_EQ(out.size(), 10u) << c.name;
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i], audio.substr(i * 64, 64)) << c.name << ", buffer " << i;
    }
  }
}

TEST(CaptureBuffers, TheRestWaitsForTheNextPiece) {
  CaptureBuffers buffers(8);
  std::vector<std::string> out;
  const auto keep = [&](std::string_view b) { out.emplace_back(b); };
  buffers.add("abcde", keep);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(buffers.held(), 5u);
  buffers.add("fghijklmnopqrs", keep);
  EXPECT_EQ(out, (std::vector<std::string>{"abcdefgh", "ijklmnop"}));
  EXPECT_EQ(buffers.held(), 3u);
}

TEST(CaptureBuffers, AGapDropsThePartialBufferSoNoBufferSpansMissingAudio) {
  CaptureBuffers buffers(4);
  std::vector<std::string> out;
  const auto keep = [&](std::string_view b) { out.emplace_back(b); };
  buffers.add("abcdef", keep);
  buffers.gap();
  EXPECT_EQ(buffers.held(), 0u);
  buffers.add("wxyz", keep);
  EXPECT_EQ(out, (std::vector<std::string>{"abcd", "wxyz"}));
}

TEST(CaptureBuffers, ABufferOfNoBytesStillTakesOneByteAtATime) {
  CaptureBuffers buffers(0);
  EXPECT_EQ(buffers.buffer_bytes(), 1u);
  std::vector<std::string> out;
  buffers.add("ab", [&](std::string_view b) { out.emplace_back(b); });
  EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace wf::bridge
