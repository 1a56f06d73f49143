#include "bridge/devices/rates.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

using SF = SampleFormat;

std::vector<uint32_t> rates_of(const std::vector<ConfigRange>& ranges) {
  std::vector<uint32_t> out;
  for (const ConfigRange& r : ranges) {
    EXPECT_EQ(r.min_sample_rate, r.max_sample_rate);
    out.push_back(r.min_sample_rate);
  }
  return out;
}

TEST(ConvertedRateRanges, OwnRateAmongTheStandardRatesTheServiceAccepts) {
  const SF formats[] = {SF::F32};
  struct Case {
    uint32_t own;
    uint32_t max;
    std::vector<uint32_t> want;
  };
  const Case cases[] = {
      // A standard own rate is listed once.
      {48000, 48000, {8000, 11025, 16000, 22050, 32000, 44100, 48000}},
      // An unusual own rate takes its place in the order.
      {37800, 32000, {8000, 11025, 16000, 22050, 32000, 37800}},
      // The own rate is the device's, whatever the conversion limit.
      {96000, 16000, {8000, 11025, 16000, 96000}},
      {44100,
       384000,
       {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000}},
      // A device without a rate of its own offers the standard rates only.
      {0, 11025, {8000, 11025}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.want, rates_of(converted_rate_ranges(2, c.own, c.max, formats)))
        << c.own << " up to " << c.max;
  }
}

TEST(ConvertedRateRanges, EveryRateInEveryFormatWithTheRealChannelCount) {
  const SF formats[] = {SF::F32, SF::I16};
  const std::vector<ConfigRange> want = {
      {1, 8000, 8000, SF::F32, std::nullopt},
      {1, 8000, 8000, SF::I16, std::nullopt},
      {1, 9600, 9600, SF::F32, std::nullopt},
      {1, 9600, 9600, SF::I16, std::nullopt},
  };
  EXPECT_EQ(want, converted_rate_ranges(1, 9600, 8000, formats));
  EXPECT_TRUE(converted_rate_ranges(0, 48000, 192000, formats).empty());
}

}  // namespace
}  // namespace wf::bridge
