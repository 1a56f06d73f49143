#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

/// The encoding of one sample: signed integers, unsigned integers and floats
/// of the given bit width.
enum class SampleFormat { I8, I16, I32, I64, U8, U16, U32, U64, F32, F64 };

/// Minimum and maximum buffer size in frames.
struct BufferSizeRange {
  uint32_t min_frames = 0;
  uint32_t max_frames = 0;

  bool operator==(const BufferSizeRange&) const = default;
};

/// One supported configuration of a device for one direction: a channel
/// count, a closed range of sample rates (minimum never above maximum) and a
/// sample encoding.
struct ConfigRange {
  uint16_t channels = 0;
  uint32_t min_sample_rate = 0;
  uint32_t max_sample_rate = 0;
  SampleFormat sample_format = SampleFormat::F32;
  /// Not reported by every layer; the bridge always uses the default size.
  std::optional<BufferSizeRange> buffer_size;

  bool operator==(const ConfigRange&) const = default;
};

/// Receives one captured buffer of interleaved samples of one type.
template <class T>
using CaptureFn = std::function<void(std::span<const T> samples)>;

/// The capture callback of an input stream; its sample type chooses the
/// stream's sample format (I16, U16 or F32).
using CaptureCallback = std::variant<CaptureFn<int16_t>, CaptureFn<uint16_t>, CaptureFn<float>>;

/// Receives the library's description of a stream error. A layer may report
/// the same failure more than once; after a failure no further buffers are
/// meaningful.
using StreamErrorFn = std::function<void(const std::string& description)>;

/// The sample format a capture callback asks for.
SampleFormat capture_format(const CaptureCallback& capture);

/// What an input stream is opened with.
struct StreamRequest {
  uint16_t channels = 1;
  uint32_t sample_rate = 48000;
  /// Frames per buffer; absent means the device's default.
  std::optional<uint32_t> buffer_frames;
  /// How long opening may take.
  std::chrono::milliseconds timeout{100};
};

/// An open capture stream. It delivers nothing until `play`; destroying it
/// stops the capture, and once the destructor has returned neither callback
/// runs again (so whatever the callbacks hold is released with it).
class InputStream {
 public:
  virtual ~InputStream() = default;
  /// Starts delivering buffers; the library's error text on failure.
  virtual Status play() = 0;
};

using InputStreamPtr = std::unique_ptr<InputStream>;

/// One audio device as the layer enumerated it. The handle can be queried
/// again; a layer may answer from what it read while enumerating, and a
/// fresh enumeration is the way to see changes.
class Device {
 public:
  virtual ~Device() = default;
  /// The device's name; an error when it cannot be read.
  virtual Result<std::string> name() const = 0;
  /// Supported capture configurations (possibly none), or the layer's error.
  virtual Result<std::vector<ConfigRange>> supported_input_configs() const = 0;
  /// Supported playback configurations (possibly none), or the layer's error.
  virtual Result<std::vector<ConfigRange>> supported_output_configs() const = 0;
  /// Opens a capture stream, not yet playing, in the sample type of `capture`.
  /// The callbacks run on the library's threads.
  virtual Result<InputStreamPtr> build_input_stream(const StreamRequest& request,
                                                    CaptureCallback capture,
                                                    StreamErrorFn on_error) = 0;
};

using DevicePtr = std::shared_ptr<Device>;

/// What one enumeration found: the devices and, among them, the default
/// capture device.
struct DeviceListing {
  std::vector<DevicePtr> devices;
  /// The default capture device, or null when there is none.
  DevicePtr default_input;
};

/// The audio-device operations the bridge needs from the platform. Every
/// operation may fail with the layer's own message, which the bridge passes
/// on unchanged.
class DeviceLayer {
 public:
  virtual ~DeviceLayer() = default;

  /// The system's devices, in an order that stays stable while the set of
  /// devices does not change. Every call asks the platform afresh, within
  /// a bounded time: a platform service that does not answer is an error.
  virtual Result<std::vector<DevicePtr>> devices() = 0;
  /// The default capture device, or null when there is none.
  virtual Result<DevicePtr> default_input_device() = 0;
  /// The devices and the default capture device from one enumeration, so
  /// that a caller that needs both waits for the platform once, within one
  /// bound. This default asks twice; a layer that learns the default while
  /// it enumerates answers from one listing.
  virtual Result<DeviceListing> list_with_default_input();

  /// The enumerated devices with at least one input configuration, in
  /// enumeration order; a device whose query fails counts as having none.
  Result<std::vector<DevicePtr>> input_devices();
  /// The same for output configurations.
  Result<std::vector<DevicePtr>> output_devices();
};

/// Keeps the devices of `all` that have at least one input configuration.
std::vector<DevicePtr> with_inputs(const std::vector<DevicePtr>& all);
/// Keeps the devices of `all` that have at least one output configuration.
std::vector<DevicePtr> with_outputs(const std::vector<DevicePtr>& all);

/// The platform's device layer.
std::unique_ptr<DeviceLayer> make_device_layer();

}  // namespace wf::bridge
