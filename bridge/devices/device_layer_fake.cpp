#include "bridge/devices/device_layer_fake.h"

namespace wf::bridge {

// Named outside the anonymous namespace: it is a friend of the control.
class FakeStream : public InputStream {
 public:
  explicit FakeStream(std::shared_ptr<FakeStreamControl> control) : control_(std::move(control)) {}
  ~FakeStream() override {
    // Taking the mutex waits for a delivery in progress; the callbacks and
    // whatever they hold go with the stream, as with a real library.
    CaptureCallback capture;
    StreamErrorFn on_error;
    {
      std::lock_guard<std::mutex> l(control_->mutex_);
      control_->released_ = true;
      control_->playing_ = false;
      capture = std::move(control_->capture_);
      on_error = std::move(control_->on_error_);
    }
  }

  Status play() override {
    std::lock_guard<std::mutex> l(control_->mutex_);
    if (control_->play_error_) {
      return Error(*control_->play_error_);
    }
    control_->playing_ = true;
    return {};
  }

 private:
  std::shared_ptr<FakeStreamControl> control_;
};

namespace {

Result<std::vector<ConfigRange>> scripted_query(const std::vector<ConfigRange>& ranges,
                                                const std::optional<std::string>& error,
                                                int error_after, int& queries) {
  const int n = queries++;
  if (error && n >= error_after) {
    return Error(*error);
  }
  return ranges;
}

}  // namespace

bool FakeStreamControl::playing() const {
  std::lock_guard<std::mutex> l(mutex_);
  return playing_;
}

bool FakeStreamControl::released() const {
  std::lock_guard<std::mutex> l(mutex_);
  return released_;
}

bool FakeStreamControl::fail(const std::string& description) {
  std::lock_guard<std::mutex> l(mutex_);
  if (released_ || !on_error_) {
    return false;
  }
  on_error_(description);
  return true;
}

Result<std::string> FakeDevice::name() const {
  if (!name_text) {
    return Error("device name unavailable");
  }
  return *name_text;
}

Result<std::vector<ConfigRange>> FakeDevice::supported_input_configs() const {
  return scripted_query(inputs, input_error, input_error_after, input_queries_);
}

Result<std::vector<ConfigRange>> FakeDevice::supported_output_configs() const {
  return scripted_query(outputs, output_error, output_error_after, output_queries_);
}

Result<InputStreamPtr> FakeDevice::build_input_stream(const StreamRequest& request,
                                                      CaptureCallback capture,
                                                      StreamErrorFn on_error) {
  if (build_error) {
    return Error(*build_error);
  }
  auto control =
      std::make_shared<FakeStreamControl>(request, std::move(capture), std::move(on_error));
  control->play_error_ = play_error;
  streams_.push_back(control);
  return InputStreamPtr(std::make_unique<FakeStream>(control));
}

std::shared_ptr<FakeDevice> FakeDeviceLayer::add(std::optional<std::string> name,
                                                 std::vector<ConfigRange> inputs,
                                                 std::vector<ConfigRange> outputs) {
  auto device = std::make_shared<FakeDevice>(std::move(name));
  device->inputs = std::move(inputs);
  device->outputs = std::move(outputs);
  all.push_back(device);
  return device;
}

Result<std::vector<DevicePtr>> FakeDeviceLayer::devices() {
  ++enumerations;
  if (enumerate_error) {
    return Error(*enumerate_error);
  }
  return std::vector<DevicePtr>(all.begin(), all.end());
}

Result<DevicePtr> FakeDeviceLayer::default_input_device() {
  ++enumerations;
  if (enumerate_error) {
    return Error(*enumerate_error);
  }
  return DevicePtr(default_input);
}

Result<DeviceListing> FakeDeviceLayer::list_with_default_input() {
  ++enumerations;
  if (enumerate_error) {
    return Error(*enumerate_error);
  }
  return DeviceListing{std::vector<DevicePtr>(all.begin(), all.end()), default_input};
}

ConfigRange fixed_range(uint16_t channels, uint32_t rate, SampleFormat format) {
  return ConfigRange{channels, rate, rate, format, std::nullopt};
}

}  // namespace wf::bridge
