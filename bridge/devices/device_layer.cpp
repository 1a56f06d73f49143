#include "bridge/devices/device_layer.h"

namespace wf::bridge {

namespace {

template <class Query>
std::vector<DevicePtr> keep_if_configured(const std::vector<DevicePtr>& all, Query query) {
  std::vector<DevicePtr> kept;
  for (const DevicePtr& device : all) {
    auto configs = ((*device).*query)();
    if (configs.ok() && !configs.value().empty()) {
      kept.push_back(device);
    }
  }
  return kept;
}

}  // namespace

SampleFormat capture_format(const CaptureCallback& capture) {
  switch (capture.index()) {
    case 0:
      return SampleFormat::I16;
    case 1:
      return SampleFormat::U16;
    default:
      return SampleFormat::F32;
  }
}

std::vector<DevicePtr> with_inputs(const std::vector<DevicePtr>& all) {
  return keep_if_configured(all, &Device::supported_input_configs);
}

std::vector<DevicePtr> with_outputs(const std::vector<DevicePtr>& all) {
  return keep_if_configured(all, &Device::supported_output_configs);
}

Result<DeviceListing> DeviceLayer::list_with_default_input() {
  auto all = devices();
  if (!all) {
    return all.error();
  }
  auto default_input = default_input_device();
  if (!default_input) {
    return default_input.error();
  }
  return DeviceListing{std::move(all.value()), std::move(default_input.value())};
}

Result<std::vector<DevicePtr>> DeviceLayer::input_devices() {
  auto all = devices();
  if (!all) {
    return all.error();
  }
  return with_inputs(all.value());
}

Result<std::vector<DevicePtr>> DeviceLayer::output_devices() {
  auto all = devices();
  if (!all) {
    return all.error();
  }
  return with_outputs(all.value());
}

}  // namespace wf::bridge
