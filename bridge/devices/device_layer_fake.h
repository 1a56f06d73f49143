#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/devices/device_layer.h"

namespace wf::bridge {

/// What a fake stream was opened with, and the handle a test drives it by:
/// it delivers buffers of the stream's sample type and reports errors on
/// command, from whatever thread calls it. Once the stream is released,
/// nothing reaches the callbacks any more.
class FakeStreamControl {
 public:
  FakeStreamControl(StreamRequest request, CaptureCallback capture, StreamErrorFn on_error)
      : request_(request),
        format_(capture_format(capture)),
        capture_(std::move(capture)),
        on_error_(std::move(on_error)) {}

  const StreamRequest& request() const { return request_; }
  SampleFormat format() const { return format_; }
  bool playing() const;
  bool released() const;

  /// Runs the capture callback with `samples` if the stream plays and has
  /// this sample type; false otherwise.
  template <class T>
  bool deliver(std::span<const T> samples) {
    std::lock_guard<std::mutex> l(mutex_);
    auto* fn = std::get_if<CaptureFn<T>>(&capture_);
    if (!playing_ || released_ || !fn) {
      return false;
    }
    (*fn)(samples);
    return true;
  }
  /// Runs the error callback with `description` unless released.
  bool fail(const std::string& description);

 private:
  friend class FakeStream;
  friend class FakeDevice;
  StreamRequest request_;
  SampleFormat format_;
  mutable std::mutex mutex_;
  CaptureCallback capture_;
  StreamErrorFn on_error_;
  bool playing_ = false;   // guarded by mutex_
  bool released_ = false;  // guarded by mutex_
  std::optional<std::string> play_error_;
};

/// A scripted device. Plain data: set what it should answer.
class FakeDevice : public Device {
 public:
  /// The name, or absent for a name query that fails.
  std::optional<std::string> name_text;
  std::vector<ConfigRange> inputs;
  std::vector<ConfigRange> outputs;
  /// When set, configuration queries fail with this text from query number
  /// `*_error_after` on (0: every query fails).
  std::optional<std::string> input_error;
  int input_error_after = 0;
  std::optional<std::string> output_error;
  int output_error_after = 0;
  /// When set, opening a stream fails / playing it fails with this text.
  std::optional<std::string> build_error;
  std::optional<std::string> play_error;

  explicit FakeDevice(std::optional<std::string> name = std::nullopt)
      : name_text(std::move(name)) {}

  Result<std::string> name() const override;
  Result<std::vector<ConfigRange>> supported_input_configs() const override;
  Result<std::vector<ConfigRange>> supported_output_configs() const override;
  Result<InputStreamPtr> build_input_stream(const StreamRequest& request, CaptureCallback capture,
                                            StreamErrorFn on_error) override;

  /// Every stream opened on this device, oldest first.
  const std::vector<std::shared_ptr<FakeStreamControl>>& streams() const { return streams_; }
  /// The newest stream, or null.
  std::shared_ptr<FakeStreamControl> last_stream() const {
    return streams_.empty() ? nullptr : streams_.back();
  }

 private:
  mutable int input_queries_ = 0;
  mutable int output_queries_ = 0;
  std::vector<std::shared_ptr<FakeStreamControl>> streams_;
};

/// A scripted device layer over `FakeDevice`s.
class FakeDeviceLayer : public DeviceLayer {
 public:
  std::vector<std::shared_ptr<FakeDevice>> all;
  /// The default input device, or null.
  std::shared_ptr<FakeDevice> default_input;
  /// When set, enumeration fails with this text.
  std::optional<std::string> enumerate_error;
  /// How many times the platform was asked: `devices`,
  /// `default_input_device` and `list_with_default_input` count one each.
  int enumerations = 0;

  /// Adds a device and returns it for further scripting.
  std::shared_ptr<FakeDevice> add(std::optional<std::string> name,
                                  std::vector<ConfigRange> inputs = {},
                                  std::vector<ConfigRange> outputs = {});

  Result<std::vector<DevicePtr>> devices() override;
  Result<DevicePtr> default_input_device() override;
  Result<DeviceListing> list_with_default_input() override;
};

/// Shorthand for a range with one rate.
ConfigRange fixed_range(uint16_t channels, uint32_t rate, SampleFormat format = SampleFormat::F32);

}  // namespace wf::bridge
