#include "bridge/devices/devices.h"

#include <algorithm>

#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

nlohmann::ordered_json to_json(const BridgeDevice& d) {
  nlohmann::ordered_json j;
  j["deviceId"] = d.device_id;
  j["label"] = d.label;
  j["inputChannels"] = d.input_channels;
  j["outputChannels"] = d.output_channels;
  j["connected"] = d.connected;
  j["sampleRates"] = d.sample_rates;
  return j;
}

Result<nlohmann::ordered_json> describe_all(const std::vector<DevicePtr>& devices, bool input) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (size_t i = 0; i < devices.size(); ++i) {
    auto record = describe_device(*devices[i], i, input);
    if (!record) {
      return record.error();
    }
    list.push_back(to_json(*record));
  }
  return list;
}

bool meterable(SampleFormat f) {
  return f == SampleFormat::F32 || f == SampleFormat::I16 || f == SampleFormat::U16;
}

struct SortKey {
  uint32_t channel_penalty;
  uint32_t rate_distance;
  uint8_t format_preference;
  auto operator<=>(const SortKey&) const = default;
};

SortKey sort_key(const ConfigRange& r, uint16_t wanted_channels, uint32_t wanted_rate) {
  SortKey k{};
  // Too few channels sorts after every range with enough (up to 128 more).
  // Counted in 32 bits: near 65535 wanted channels a 16-bit penalty would
  // wrap and put a range with too few channels first.
  k.channel_penalty = r.channels >= wanted_channels ? uint32_t{r.channels} - wanted_channels
                                                    : uint32_t{wanted_channels} - r.channels + 128;
  if (wanted_rate < r.min_sample_rate) {
    k.rate_distance = r.min_sample_rate - wanted_rate;
  } else if (wanted_rate > r.max_sample_rate) {
    k.rate_distance = wanted_rate - r.max_sample_rate;
  } else {
    k.rate_distance = 0;
  }
  switch (r.sample_format) {
    case SampleFormat::F32:
      k.format_preference = 0;
      break;
    case SampleFormat::I16:
      k.format_preference = 1;
      break;
    case SampleFormat::U16:
      k.format_preference = 2;
      break;
    default:
      k.format_preference = 9;
  }
  return k;
}

}  // namespace

std::string device_label(const Device& device, size_t index) {
  auto name = device.name();
  if (!name) {
    return "Audio device " + std::to_string(index + 1);
  }
  return name.value();
}

std::string device_id(size_t index, const std::string& label) {
  return std::to_string(index) + ":" + label;
}

Result<BridgeDevice> describe_device(const Device& device, size_t index, bool input) {
  BridgeDevice d;
  d.label = device_label(device, index);
  auto ranges = input ? device.supported_input_configs() : device.supported_output_configs();
  if (!ranges) {
    return ranges.error();
  }
  uint16_t channels = 0;
  for (const ConfigRange& r : ranges.value()) {
    channels = std::max(channels, r.channels);
    d.sample_rates.push_back(r.min_sample_rate);
    d.sample_rates.push_back(r.max_sample_rate);
  }
  std::sort(d.sample_rates.begin(), d.sample_rates.end());
  d.sample_rates.erase(std::unique(d.sample_rates.begin(), d.sample_rates.end()),
                       d.sample_rates.end());
  d.device_id = device_id(index, d.label);
  (input ? d.input_channels : d.output_channels) = channels;
  return d;
}

Status handle_devices(RequestPtr request, RouteContext& context) {
  if (!context.devices) {
    return Error("no audio device layer");
  }
  // One enumeration for both lists, so that they describe the same moment.
  auto all = context.devices->devices();
  if (!all) {
    return all.error();
  }
  auto input_list = describe_all(with_inputs(all.value()), true);
  if (!input_list) {
    return input_list.error();
  }
  auto output_list = describe_all(with_outputs(all.value()), false);
  if (!output_list) {
    return output_list.error();
  }
  nlohmann::ordered_json body;
  body["inputs"] = std::move(input_list.value());
  body["outputs"] = std::move(output_list.value());
  return send_json(std::move(request), 200, body);
}

Result<InputConfig> select_input_config(const Device& device, std::optional<uint32_t> sample_rate,
                                        std::optional<uint16_t> channel_count, bool stereo_only) {
  const uint32_t wanted_rate = sample_rate.value_or(48000);
  uint16_t wanted_channels = 48;
  if (stereo_only) {
    wanted_channels = 2;
  } else if (channel_count) {
    wanted_channels = std::max<uint16_t>(*channel_count, 1);
  }

  auto listed = device.supported_input_configs();
  if (!listed) {
    return listed.error();
  }
  std::vector<ConfigRange> ranges = std::move(listed.value());
  if (ranges.empty()) {
    return Error("selected device has no supported input configs");
  }
  std::stable_sort(ranges.begin(), ranges.end(), [&](const ConfigRange& a, const ConfigRange& b) {
    return sort_key(a, wanted_channels, wanted_rate) < sort_key(b, wanted_channels, wanted_rate);
  });
  auto chosen = std::find_if(ranges.begin(), ranges.end(),
                             [](const ConfigRange& r) { return meterable(r.sample_format); });
  if (chosen == ranges.end()) {
    return Error("selected device has no supported PCM input formats");
  }

  InputConfig config;
  config.channels = std::max<uint16_t>(std::min(chosen->channels, wanted_channels), 1);
  config.sample_rate = wanted_rate < chosen->min_sample_rate   ? chosen->min_sample_rate
                       : wanted_rate > chosen->max_sample_rate ? chosen->max_sample_rate
                                                               : wanted_rate;
  config.sample_format = chosen->sample_format;
  return config;
}

}  // namespace wf::bridge
