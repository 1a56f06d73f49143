// The packet decoder the end-to-end tests rely on, fed in every split.
#include <gtest/gtest.h>

#include <cstring>

#include "testing/capture_stream.h"

namespace wf::capture::e2e {
namespace {

std::string packetBytes(uint32_t frames, uint32_t dropped, uint64_t sequence, uint64_t time,
                        uint32_t channels) {
  std::string bytes(24 + size_t{frames} * channels * 4, '\0');
  std::memcpy(bytes.data(), &frames, 4);
  std::memcpy(bytes.data() + 4, &dropped, 4);
  std::memcpy(bytes.data() + 8, &sequence, 8);
  std::memcpy(bytes.data() + 16, &time, 8);
  for (size_t i = 0; i < size_t{frames} * channels; ++i) {
    float v = static_cast<float>(sequence) + static_cast<float>(i) / 8;
    std::memcpy(bytes.data() + 24 + i * 4, &v, 4);
  }
  return bytes;
}

TEST(CaptureStreamDecoder, DecodesTheSameAtEverySplit) {
  std::string stream = "{\"channels\":3,\"mode\":\"x\"}\n" + packetBytes(2, 0, 0, 10, 3) +
                       packetBytes(0, 1, 1, 20, 3) + packetBytes(5, 0, 2, 30, 3);
  for (size_t split = 0; split <= stream.size(); ++split) {
    testing::CaptureStreamDecoder decoder;
    decoder.feed(std::string_view(stream).substr(0, split));
    auto packets = decoder.take();
    decoder.feed(std::string_view(stream).substr(split));
    for (auto& p : decoder.take()) {
      packets.push_back(std::move(p));
    }
    ASSERT_TRUE(decoder.header()) << split;
    EXPECT_EQ(3u, decoder.channels());
    ASSERT_EQ(3u, packets.size()) << split;
    EXPECT_EQ(0u, decoder.pendingBytes());
    EXPECT_EQ((std::vector<uint32_t>{2, 0, 5}),
              (std::vector<uint32_t>{packets[0].frames, packets[1].frames, packets[2].frames}));
    EXPECT_EQ(1u, packets[1].dropped);
    EXPECT_EQ(30u, packets[2].time);
    ASSERT_EQ(15u, packets[2].samples.size());
    EXPECT_EQ(2.0f + 14.0f / 8, packets[2].samples[14]);
  }
}

TEST(CaptureStreamDecoder, KeepsAnIncompletePacketPending) {
  std::string stream = "{\"channels\":1}\n" + packetBytes(4, 0, 0, 0, 1);
  testing::CaptureStreamDecoder decoder;
  decoder.feed(stream.substr(0, stream.size() - 1));
  EXPECT_TRUE(decoder.take().empty());
  EXPECT_EQ(24u + 15u, decoder.pendingBytes());
}

}  // namespace
}  // namespace wf::capture::e2e
