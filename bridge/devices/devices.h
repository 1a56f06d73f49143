#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/core/route_context.h"
#include "bridge/devices/device_layer.h"

namespace wf::bridge {

/// One device of the `/devices` reply.
struct BridgeDevice {
  std::string device_id;
  std::string label;
  uint16_t input_channels = 0;
  uint16_t output_channels = 0;
  bool connected = true;
  std::vector<uint32_t> sample_rates;
};

/// The label of a device: its name, or "Audio device {index + 1}" when the
/// name cannot be read.
std::string device_label(const Device& device, size_t index);

/// The id of a device listed at `index` among the devices of its direction
/// under `label`: "{index}:{label}". Positional: it names the device only
/// while the set and order of devices stay the same.
std::string device_id(size_t index, const std::string& label);

/// Builds the record of `device`, listed at `index` among the devices of its
/// direction (`input` true for the inputs list): id "{index}:{label}", the
/// largest channel count of its ranges for that direction, and every range
/// end, ascending and once each. Fails with the layer's error when the
/// configuration query fails.
Result<BridgeDevice> describe_device(const Device& device, size_t index, bool input);

/// GET /devices: every input and output device of one enumeration; the
/// first device-layer error fails the whole request. Never touches the
/// bridge state.
Status handle_devices(RequestPtr request, RouteContext& context);

/// The configuration `/start` opens an input with.
struct InputConfig {
  uint16_t channels = 1;
  uint32_t sample_rate = 48000;
  /// Frames per buffer; absent: the device's default.
  std::optional<uint32_t> buffer_frames;
  SampleFormat sample_format = SampleFormat::F32;
};

/// Chooses channel count, rate and format for capturing from `device`:
/// the wanted rate is `sample_rate` or 48000; the wanted channel count is 2
/// with `stereo_only`, else `channel_count` (0 counts as 1), else 48. The
/// ranges are ordered by channel penalty, rate distance and format
/// preference (stable), and the first I16, U16 or F32 range wins.
Result<InputConfig> select_input_config(const Device& device, std::optional<uint32_t> sample_rate,
                                        std::optional<uint16_t> channel_count, bool stereo_only);

}  // namespace wf::bridge
