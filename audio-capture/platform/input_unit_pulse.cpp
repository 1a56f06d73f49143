#include "audio-capture/platform/input_unit_pulse.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstring>

namespace wf::capture {

namespace {

constexpr ComponentId HAL_OUTPUT = 1;
// How often the pacing timer looks for due blocks.
constexpr pa_usec_t TICK_USEC = 4000;

uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool supported(const StreamDescription& f) {
  bool interleavedFloat =
      f.formatId == kAudioFormatLinearPCM && (f.formatFlags & kAudioFormatFlagIsFloat) != 0 &&
      (f.formatFlags & kAudioFormatFlagIsNonInterleaved) == 0 && f.bitsPerChannel == 32;
  bool shape = f.channelsPerFrame >= 1 && f.channelsPerFrame <= PA_CHANNELS_MAX &&
               f.framesPerPacket == 1 && f.bytesPerFrame == 4 * f.channelsPerFrame &&
               f.bytesPerPacket == f.bytesPerFrame;
  bool rate =
      f.sampleRate >= 1 && f.sampleRate <= PA_RATE_MAX && f.sampleRate == std::floor(f.sampleRate);
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

PulseInputUnit::~PulseInputUnit() {
  stop();
}

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
  // Room for a second of audio; it grows on the server's
  // thread if a source hands over more at once.
  pending_.clear();
  pending_.reserve(static_cast<size_t>(format_.sampleRate) * frameBytes_);
  pendingStart_ = 0;
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
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = maxFrames_ * frameBytes_;
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_record(stream_, source_.name.c_str(), &attr, flags) < 0) {
    return kAudioUnitErr_NoConnection;
  }
  const bool opened =
      connection_->waitUntil([&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                             std::chrono::steady_clock::now() + SERVER_DEADLINE);
  if (!opened || pa_stream_get_state(stream_) != PA_STREAM_READY) {
    // The program ends on this failure, and the connection with it, which
    // takes a recording the server opens late along.
    return kAudioUnitErr_NoConnection;
  }
  anchored_ = false;
  tick_ = pa_context_rttime_new(connection_->context(), pa_rtclock_now() + TICK_USEC,
                                &PulseInputUnit::onTick, this);
  if (!tick_) {
    return kAudioUnitErr_NoConnection;
  }
  // The health check asks about the source every 250 ms from the writer
  // loop, which must never wait on the server.
  connection_->watch(source_);
  return 0;
}

void PulseInputUnit::onState(pa_stream* stream, void* self) {
  auto& unit = *static_cast<PulseInputUnit*>(self);
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    unit.reportEnd();
  }
  pa_threaded_mainloop_signal(unit.connection_->loop(), 0);
}

void PulseInputUnit::onTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                            void* self) {
  auto& unit = *static_cast<PulseInputUnit*>(self);
  unit.pace(monotonicNanoseconds());
  pa_context_rttime_restart(unit.connection_->context(), event, pa_rtclock_now() + TICK_USEC);
}

size_t PulseInputUnit::pendingFrames() const {
  return (pending_.size() - pendingStart_) / frameBytes_;
}

bool PulseInputUnit::pull() {
  const void* data = nullptr;
  size_t bytes = 0;
  if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) {
    return false;
  }
  // A hole (no data) is audio the server lost; there is nothing to keep.
  if (data) {
    if (pendingStart_ > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pendingStart_));
      pendingStart_ = 0;
    }
    auto* first = static_cast<const uint8_t*>(data);
    pending_.insert(pending_.end(), first, first + bytes);
  }
  pa_stream_drop(stream_);
  return true;
}

void PulseInputUnit::pace(uint64_t now) {
  if (ended_ || !stream_) {
    return;
  }
  while (pendingFrames() < maxFrames_ && pull()) {
  }
  if (!anchored_) {
    if (pendingFrames() == 0) {
      return;
    }
    anchored_ = true;
    anchorTime_ = now;
    anchorFrames_ = framesDelivered_;
  }
  auto dueAt = [&](uint64_t frame) {
    double offset = static_cast<double>(frame - anchorFrames_) * 1e9 / format_.sampleRate;
    return anchorTime_ + static_cast<uint64_t>(offset);
  };
  // A block is due once the clock has passed its last frame.
  while (dueAt(framesDelivered_ + maxFrames_) <= now) {
    while (pendingFrames() < maxFrames_ && pull()) {
    }
    if (pendingFrames() < maxFrames_) {
      // The source is late: pace on from when its data comes.
      anchored_ = false;
      return;
    }
    deliver(maxFrames_, dueAt(framesDelivered_));
  }
}

void PulseInputUnit::deliver(uint32_t frames, uint64_t hostTime) {
  current_ = pending_.data() + pendingStart_;
  currentFrames_ = frames;
  TimeStamp time;
  time.sampleTime = static_cast<double>(framesDelivered_);
  time.hostTime = hostTime;
  RenderFlags flags = 0;
  callback_.proc(callback_.context, &flags, &time, 1, frames, nullptr);
  current_ = nullptr;
  framesDelivered_ += frames;
  pendingStart_ += size_t{frames} * frameBytes_;
  if (pendingStart_ == pending_.size()) {
    pending_.clear();
    pendingStart_ = 0;
  }
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
  if (bus != 1 || frames != currentFrames_ || !data || data->count < 1 || !data->buffers[0].data ||
      data->buffers[0].bytes < bytes) {
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
  // Holding the main-loop lock means no callback is running; with the timer
  // and the state callback removed none will run again.
  if (tick_) {
    pa_threaded_mainloop_get_api(connection_->loop())->time_free(tick_);
    tick_ = nullptr;
  }
  connection_->unwatch();
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  return 0;
}

Status PulseInputUnit::uninitialize() {
  stop();
  initialized_ = false;
  pending_.clear();
  pending_.shrink_to_fit();
  pendingStart_ = 0;
  return 0;
}

Status PulseInputUnit::dispose() {
  return uninitialize();
}

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
