#include "bridge/core/device_layer_rtaudio.h"

#include <RtAudio.h>
#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

using SF = SampleFormat;

TEST(RtAudioConfigRanges, OneRangePerRateAndNativeFormatWithTheRealChannelCount) {
  // What RtAudio reports for a PulseAudio source: 16, 24 and 32-bit integers
  // and 32-bit floats.
  RtDeviceFacts facts{
      1, {44100, 48000}, 48000, RTAUDIO_SINT16 | RTAUDIO_SINT24 | RTAUDIO_SINT32 | RTAUDIO_FLOAT32};
  const std::vector<ConfigRange> want = {
      {1, 44100, 44100, SF::F32, std::nullopt}, {1, 44100, 44100, SF::I16, std::nullopt},
      {1, 44100, 44100, SF::I32, std::nullopt}, {1, 48000, 48000, SF::F32, std::nullopt},
      {1, 48000, 48000, SF::I16, std::nullopt}, {1, 48000, 48000, SF::I32, std::nullopt},
  };
  EXPECT_EQ(want, rtaudio_config_ranges(facts));
}

TEST(RtAudioConfigRanges, EdgeCases) {
  // No channels in this direction: no ranges at all.
  EXPECT_TRUE(rtaudio_config_ranges({0, {48000}, 48000, RTAUDIO_FLOAT32}).empty());
  // No rate list: the preferred rate.
  const std::vector<ConfigRange> preferred = {{2, 96000, 96000, SF::F64, std::nullopt},
                                              {2, 96000, 96000, SF::I8, std::nullopt}};
  EXPECT_EQ(preferred, rtaudio_config_ranges({2, {}, 96000, RTAUDIO_FLOAT64 | RTAUDIO_SINT8}));
  // Packed 24-bit alone has no sample format to offer.
  EXPECT_TRUE(rtaudio_config_ranges({2, {48000}, 48000, RTAUDIO_SINT24}).empty());
  // A channel count beyond 16 bits is cut, not wrapped.
  EXPECT_EQ(65535, rtaudio_config_ranges({70000, {48000}, 0, RTAUDIO_FLOAT32})[0].channels);
}

}  // namespace
}  // namespace wf::bridge
