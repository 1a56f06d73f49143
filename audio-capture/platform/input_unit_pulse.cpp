#include "audio-capture/platform/input_unit_pulse.h"

#include <time.h>

#include <cmath>
#include <cstring>

namespace wf::capture {

namespace {

constexpr ComponentId HAL_OUTPUT = 1;

uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool supported(const StreamDescription& f) {
  bool interleavedFloat = f.formatId == kAudioFormatLinearPCM &&
                          (f.formatFlags & kAudioFormatFlagIsFloat) != 0 &&
                          (f.formatFlags & kAudioFormatFlagIsNonInterleaved) == 0 &&
                          f.bitsPerChannel == 32;
  bool shape = f.channelsPerFrame >= 1 && f.channelsPerFrame <= PA_CHANNELS_MAX &&
               f.framesPerPacket == 1 && f.bytesPerFrame == 4 * f.channelsPerFrame &&
               f.bytesPerPacket == f.bytesPerFrame;
  bool rate = f.sampleRate >= 1 && f.sampleRate <= PA_RATE_MAX &&
              f.sampleRate == std::floor(f.sampleRate);
  return interleavedFloat && shape && rate;
}

template <typename T>
bool read(const void* value, uint32_t size, T& out) {
  if (!value || size != sizeof(T)) {
    return false;
  }
  std::memcpy(&out, value, sizeof(T));
  return true;
}

}  // namespace

PulseInputUnit::PulseInputUnit(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

PulseInputUnit::~PulseInputUnit() { stop(); }

Status PulseInputUnit::setProperty(uint32_t property, uint32_t scope, uint32_t element,
                                   const void* value, uint32_t size) {
  if (initialized_) {
    return kAudioUnitErr_InvalidPropertyValue;
  }
  switch (property) {
    case kAudioOutputUnitProperty_EnableIO: {
      uint32_t on = 0;
      if (!read(value, size, on)) {
        return kAudio_ParamError;
      }
      if (scope == kAudioUnitScope_Input && element == 1) {
        inputOn_ = on != 0;
      } else if (scope == kAudioUnitScope_Output && element == 0) {
        outputOn_ = on != 0;
      } else {
        return kAudioUnitErr_InvalidElement;
      }
      return 0;
    }
    case kAudioOutputUnitProperty_CurrentDevice:
      if (!read(value, size, device_) || !PulseConnection::indexOf(device_)) {
        return kAudioUnitErr_InvalidPropertyValue;
      }
      deviceSet_ = true;
      return 0;
    case kAudioUnitProperty_StreamFormat:
      if (scope != kAudioUnitScope_Output || element != 1) {
        return kAudioUnitErr_InvalidElement;
      }
      if (!read(value, size, format_) || !supported(format_)) {
        return kAudioUnitErr_FormatNotSupported;
      }
      formatSet_ = true;
      return 0;
    case kAudioUnitProperty_MaximumFramesPerSlice:
      if (!read(value, size, maxFrames_) || maxFrames_ == 0 || maxFrames_ > 16384) {
        return kAudioUnitErr_InvalidPropertyValue;
      }
      return 0;
    case kAudioOutputUnitProperty_SetInputCallback:
      if (!read(value, size, callback_) || !callback_.proc) {
        return kAudioUnitErr_InvalidPropertyValue;
      }
      return 0;
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

Status PulseInputUnit::initialize() {
  if (!inputOn_ || outputOn_ || !deviceSet_ || !formatSet_ || !callback_.proc) {
    return kAudioUnitErr_FailedInitialization;
  }
  auto index = PulseConnection::indexOf(device_);
  if (!index || connection_->source(*index, source_) != PulseConnection::Lookup::found) {
    return kAudioUnitErr_NoConnection;
  }
  frameBytes_ = format_.bytesPerFrame;
  staging_.assign(size_t{maxFrames_} * frameBytes_, 0);
  staged_ = 0;
  initialized_ = true;
  return 0;
}

Status PulseInputUnit::start() {
  if (!initialized_) {
    return kAudioUnitErr_Uninitialized;
  }
  if (stream_) {
    return 0;
  }
  PulseLock lock(connection_->loop());
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format_.sampleRate),
                      static_cast<uint8_t>(format_.channelsPerFrame)};
  pa_channel_map map = source_.map;
  if (source_.spec.channels != spec.channels) {
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  }
  stream_ = pa_stream_new(connection_->context(), "capture", &spec, &map);
  if (!stream_) {
    return kAudioUnitErr_NoConnection;
  }
  ended_ = false;
  pa_stream_set_state_callback(stream_, &PulseInputUnit::onState, this);
  pa_stream_set_read_callback(stream_, &PulseInputUnit::onRead, this);
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = maxFrames_ * frameBytes_;
  auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_record(stream_, source_.name.c_str(), &attr, flags) < 0) {
    return kAudioUnitErr_NoConnection;
  }
  for (;;) {
    pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) {
      return 0;
    }
    if (!PA_STREAM_IS_GOOD(state)) {
      return kAudioUnitErr_NoConnection;
    }
    pa_threaded_mainloop_wait(connection_->loop());
  }
}

void PulseInputUnit::onState(pa_stream* stream, void* self) {
  auto& unit = *static_cast<PulseInputUnit*>(self);
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    unit.reportEnd();
  }
  pa_threaded_mainloop_signal(unit.connection_->loop(), 0);
}

void PulseInputUnit::onRead(pa_stream* stream, size_t, void* self) {
  auto& unit = *static_cast<PulseInputUnit*>(self);
  uint64_t now = monotonicNanoseconds();
  for (;;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
      return;
    }
    // A hole (no data) is lost audio; there is nothing to hand on.
    if (data) {
      unit.take(static_cast<const uint8_t*>(data), bytes, now);
    }
    pa_stream_drop(stream);
  }
}

void PulseInputUnit::take(const uint8_t* data, size_t bytes, uint64_t now) {
  if (ended_) {
    return;
  }
  size_t blockBytes = staging_.size();
  // The newest frame arrived about now; earlier frames are dated back from it.
  uint64_t framesPending = (staged_ + bytes) / frameBytes_;
  auto startOf = [&](uint64_t framesBefore) {
    double age = static_cast<double>(framesPending - framesBefore) * 1e9 / format_.sampleRate;
    return now - static_cast<uint64_t>(age);
  };
  uint64_t framesTaken = 0;
  while (bytes > 0) {
    size_t n = std::min(bytes, blockBytes - staged_);
    std::memcpy(staging_.data() + staged_, data, n);
    staged_ += n;
    data += n;
    bytes -= n;
    if (staged_ == blockBytes) {
      deliver(maxFrames_, startOf(framesTaken));
      framesTaken += maxFrames_;
    }
  }
  uint32_t whole = static_cast<uint32_t>(staged_ / frameBytes_);
  if (whole > 0) {
    deliver(whole, startOf(framesTaken));
  }
}

void PulseInputUnit::deliver(uint32_t frames, uint64_t hostTime) {
  current_ = staging_.data();
  currentFrames_ = frames;
  TimeStamp time;
  time.sampleTime = static_cast<double>(framesDelivered_);
  time.hostTime = hostTime;
  RenderFlags flags = 0;
  callback_.proc(callback_.context, &flags, &time, 1, frames, nullptr);
  current_ = nullptr;
  framesDelivered_ += frames;
  size_t used = size_t{frames} * frameBytes_;
  std::memmove(staging_.data(), staging_.data() + used, staged_ - used);
  staged_ -= used;
}

void PulseInputUnit::reportEnd() {
  if (ended_ || !callback_.proc) {
    return;
  }
  ended_ = true;
  current_ = nullptr;
  TimeStamp time;
  time.sampleTime = static_cast<double>(framesDelivered_);
  time.hostTime = monotonicNanoseconds();
  RenderFlags flags = 0;
  callback_.proc(callback_.context, &flags, &time, 1, 0, nullptr);
}

Status PulseInputUnit::render(RenderFlags*, const TimeStamp*, uint32_t bus, uint32_t frames,
                              BufferList* data) {
  if (!current_) {
    return kAudioUnitErr_NoConnection;
  }
  size_t bytes = size_t{frames} * frameBytes_;
  if (bus != 1 || frames != currentFrames_ || !data || data->count < 1 ||
      !data->buffers[0].data || data->buffers[0].bytes < bytes) {
    return kAudio_ParamError;
  }
  std::memcpy(data->buffers[0].data, current_, bytes);
  data->buffers[0].bytes = static_cast<uint32_t>(bytes);
  return 0;
}

Status PulseInputUnit::stop() {
  if (!stream_) {
    return 0;
  }
  PulseLock lock(connection_->loop());
  // Holding the main-loop lock means no callback is running; with the
  // callbacks removed none will run again.
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  return 0;
}

Status PulseInputUnit::uninitialize() {
  stop();
  initialized_ = false;
  staging_.clear();
  staging_.shrink_to_fit();
  staged_ = 0;
  return 0;
}

Status PulseInputUnit::dispose() { return uninitialize(); }

std::optional<ComponentId> PulseUnits::findNext(const ComponentDescription& description) {
  if (description.type == kAudioUnitType_Output &&
      description.subType == kAudioUnitSubType_HALOutput &&
      description.manufacturer == kAudioUnitManufacturer_Apple) {
    return HAL_OUTPUT;
  }
  return std::nullopt;
}

Status PulseUnits::newInstance(ComponentId component, std::unique_ptr<InputUnit>& unit) {
  if (component != HAL_OUTPUT) {
    return kAudio_ParamError;
  }
  unit = std::make_unique<PulseInputUnit>(connection_);
  return 0;
}

}  // namespace wf::capture
