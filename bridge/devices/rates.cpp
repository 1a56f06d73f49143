#include "bridge/devices/rates.h"

#include <algorithm>

namespace wf::bridge {

std::vector<ConfigRange> converted_rate_ranges(uint16_t channels, uint32_t own_rate,
                                               uint32_t max_rate,
                                               std::span<const SampleFormat> formats) {
  std::vector<ConfigRange> ranges;
  if (channels == 0) {
    return ranges;
  }
  std::vector<uint32_t> rates;
  if (own_rate > 0) {
    rates.push_back(own_rate);
  }
  for (uint32_t rate : STANDARD_SAMPLE_RATES) {
    if (rate <= max_rate) {
      rates.push_back(rate);
    }
  }
  std::sort(rates.begin(), rates.end());
  rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
  for (uint32_t rate : rates) {
    for (SampleFormat format : formats) {
      ranges.push_back(ConfigRange{channels, rate, rate, format, std::nullopt});
    }
  }
  return ranges;
}

}  // namespace wf::bridge
