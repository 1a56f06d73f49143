// The device layer over RtAudio: PulseAudio (or ALSA, JACK) on Linux, Core
// Audio on macOS.
#include <RtAudio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "bridge/core/device_layer_rtaudio.h"
#include "bridge/core/device_layer_server.h"

namespace wf::bridge {

namespace {

// RtAudio has no default buffer size of its own: asking for 0 frames gives a
// PulseAudio stream that reads nothing and fails on every read.
constexpr unsigned int DEFAULT_BUFFER_FRAMES = 512;

// The native formats RtAudio reports, in the order ranges are listed, with
// the `SampleFormat` each is. Packed 24-bit samples have no `SampleFormat`
// and are not offered.
struct NativeFormat {
  RtAudioFormat flag;
  SampleFormat format;
};
constexpr NativeFormat NATIVE_FORMATS[] = {
    {RTAUDIO_FLOAT32, SampleFormat::F32}, {RTAUDIO_SINT16, SampleFormat::I16},
    {RTAUDIO_SINT32, SampleFormat::I32},  {RTAUDIO_FLOAT64, SampleFormat::F64},
    {RTAUDIO_SINT8, SampleFormat::I8},
};

Error library_error(const std::exception& e) {
  return Error(e.what());
}

// The state one stream shares with RtAudio's callback threads.
struct StreamContext {
  CaptureCallback capture;
  StreamErrorFn on_error;
  uint16_t channels = 1;

  // Set by the first error; from then on buffers and errors are dropped.
  std::atomic<bool> failed{false};
  // While opening and starting, errors belong to the caller, not to the
  // error callback.
  std::mutex setup_mutex;
  bool live = false;                       // guarded by setup_mutex
  std::optional<std::string> setup_error;  // guarded by setup_mutex

  // The stopper thread stops a failed stream from outside the callback.
  std::mutex stop_mutex;
  std::condition_variable stop_cv;
  bool stop_requested = false;  // guarded by stop_mutex
  bool closing = false;         // guarded by stop_mutex
};

// RtAudio's error callback carries no user data. Streams register here, and
// the error is routed to the stream whose capture thread reports it or, for
// an error reported elsewhere, to the only open stream.
std::mutex registry_mutex;
std::set<StreamContext*> registry;  // guarded by registry_mutex
thread_local StreamContext* capture_thread_stream = nullptr;

void report_error(StreamContext& ctx, const std::string& text) {
  {
    std::lock_guard<std::mutex> l(ctx.setup_mutex);
    if (!ctx.live) {
      if (!ctx.setup_error) {
        ctx.setup_error = text;
      }
      return;
    }
  }
  if (ctx.failed.exchange(true)) {
    return;
  }
  ctx.on_error(text);
  {
    std::lock_guard<std::mutex> l(ctx.stop_mutex);
    ctx.stop_requested = true;
  }
  ctx.stop_cv.notify_all();
}

void on_library_error(RtAudioError::Type /*type*/, const std::string& text) {
  std::lock_guard<std::mutex> l(registry_mutex);
  StreamContext* ctx = nullptr;
  if (capture_thread_stream && registry.count(capture_thread_stream)) {
    ctx = capture_thread_stream;
  } else if (registry.size() == 1) {
    ctx = *registry.begin();
  }
  if (ctx) {
    report_error(*ctx, text);
  }
}

int on_library_capture(void* /*output*/, void* input, unsigned int frames, double /*time*/,
                       RtAudioStreamStatus /*status*/, void* user) {
  auto* ctx = static_cast<StreamContext*>(user);
  capture_thread_stream = ctx;
  // After a failure the library keeps calling with the last buffer it had.
  if (ctx->failed.load(std::memory_order_relaxed) || !input) {
    return 0;
  }
  const size_t n = static_cast<size_t>(frames) * ctx->channels;
  switch (ctx->capture.index()) {
    case 0:
      std::get<0>(ctx->capture)(std::span<const int16_t>(static_cast<const int16_t*>(input), n));
      break;
    case 1:
      std::get<1>(ctx->capture)(std::span<const uint16_t>(static_cast<const uint16_t*>(input), n));
      break;
    default:
      std::get<2>(ctx->capture)(std::span<const float>(static_cast<const float*>(input), n));
      break;
  }
  return 0;
}

Result<std::shared_ptr<RtAudio>> open_library() {
  if (Status server = check_sound_server(); !server) {
    return server.error();
  }
  auto rt = std::make_shared<RtAudio>();
  rt->showWarnings(false);
  return rt;
}

class RtInputStream : public InputStream {
 public:
  RtInputStream(std::shared_ptr<RtAudio> rt, std::unique_ptr<StreamContext> ctx)
      : rt_(std::move(rt)), ctx_(std::move(ctx)) {
    stopper_ = std::thread([this] { stop_when_failed(); });
  }

  ~RtInputStream() override {
    {
      std::lock_guard<std::mutex> l(ctx_->stop_mutex);
      ctx_->closing = true;
    }
    ctx_->stop_cv.notify_all();
    stopper_.join();
    {
      std::lock_guard<std::mutex> l(registry_mutex);
      registry.erase(ctx_.get());
    }
    // Closing joins the library's callback thread: no callback runs after it.
    try {
      if (rt_->isStreamOpen()) {
        rt_->closeStream();
      }
    } catch (const std::exception&) {
      // A stream whose server has gone may complain while closing; it is
      // closed all the same.
    }
  }

  Status play() override {
    try {
      rt_->startStream();
    } catch (const std::exception& e) {
      return library_error(e);
    }
    std::lock_guard<std::mutex> l(ctx_->setup_mutex);
    if (ctx_->setup_error) {
      return Error(*ctx_->setup_error);
    }
    ctx_->live = true;
    return {};
  }

 private:
  void stop_when_failed() {
    std::unique_lock<std::mutex> l(ctx_->stop_mutex);
    ctx_->stop_cv.wait(l, [&] { return ctx_->stop_requested || ctx_->closing; });
    if (ctx_->closing) {
      return;
    }
    l.unlock();
    // Stopping from the callback's own thread is not allowed; it ends the
    // busy loop in which the library reports a lost device.
    try {
      rt_->abortStream();
    } catch (const std::exception&) {
    }
  }

  std::shared_ptr<RtAudio> rt_;
  std::unique_ptr<StreamContext> ctx_;
  std::thread stopper_;
};

class RtDevice : public Device {
 public:
  RtDevice(std::shared_ptr<RtAudio> rt, unsigned int index) : rt_(std::move(rt)), index_(index) {}

  Result<std::string> name() const override {
    auto info = probe();
    if (!info) {
      return info.error();
    }
    if (info->name.empty()) {
      return Error("audio device has no name");
    }
    return info->name;
  }

  Result<std::vector<ConfigRange>> supported_input_configs() const override {
    return configs(true);
  }
  Result<std::vector<ConfigRange>> supported_output_configs() const override {
    return configs(false);
  }

  Result<InputStreamPtr> build_input_stream(const StreamRequest& request, CaptureCallback capture,
                                            StreamErrorFn on_error) override {
    RtAudioFormat format;
    switch (capture_format(capture)) {
      case SampleFormat::I16:
        format = RTAUDIO_SINT16;
        break;
      case SampleFormat::F32:
        format = RTAUDIO_FLOAT32;
        break;
      default:
        return Error("unsigned 16-bit capture is not supported by the audio library");
    }
    auto ctx = std::make_unique<StreamContext>();
    ctx->capture = std::move(capture);
    ctx->on_error = std::move(on_error);
    ctx->channels = request.channels;
    {
      std::lock_guard<std::mutex> l(registry_mutex);
      registry.insert(ctx.get());
    }
    auto unregister = [&] {
      std::lock_guard<std::mutex> l(registry_mutex);
      registry.erase(ctx.get());
    };

    RtAudio::StreamParameters params;
    params.deviceId = index_;
    params.nChannels = request.channels;
    params.firstChannel = 0;
    unsigned int frames = request.buffer_frames.value_or(DEFAULT_BUFFER_FRAMES);
    // RtAudio opens synchronously and offers no time limit for it.
    try {
      rt_->openStream(nullptr, &params, format, request.sample_rate, &frames, on_library_capture,
                      ctx.get(), nullptr, on_library_error);
    } catch (const std::exception& e) {
      unregister();
      return library_error(e);
    }
    if (!rt_->isStreamOpen()) {
      unregister();
      std::lock_guard<std::mutex> l(ctx->setup_mutex);
      return Error(ctx->setup_error.value_or("audio stream could not be opened"));
    }
    return InputStreamPtr(std::make_unique<RtInputStream>(rt_, std::move(ctx)));
  }

 private:
  Result<RtAudio::DeviceInfo> probe() const {
    try {
      RtAudio::DeviceInfo info = rt_->getDeviceInfo(index_);
      if (!info.probed) {
        return Error("audio device " + std::to_string(index_) + " could not be probed");
      }
      return info;
    } catch (const std::exception& e) {
      return library_error(e);
    }
  }

  Result<std::vector<ConfigRange>> configs(bool input) const {
    auto info = probe();
    if (!info) {
      return info.error();
    }
    RtDeviceFacts facts;
    facts.channels = input ? info->inputChannels : info->outputChannels;
    facts.sample_rates = info->sampleRates;
    facts.preferred_sample_rate = info->preferredSampleRate;
    facts.native_formats = info->nativeFormats;
    return rtaudio_config_ranges(facts);
  }

  std::shared_ptr<RtAudio> rt_;
  unsigned int index_;
};

class RtDeviceLayer : public DeviceLayer {
 public:
  // Each enumeration asks the sound server afresh; a stream opened on one of
  // its devices keeps that library instance for itself.
  Result<std::vector<DevicePtr>> devices() override {
    try {
      auto opened = open_library();
      if (!opened) {
        return opened.error();
      }
      std::shared_ptr<RtAudio> rt = opened.value();
      const unsigned int count = rt->getDeviceCount();
      std::vector<DevicePtr> out;
      out.reserve(count);
      for (unsigned int i = 0; i < count; ++i) {
        out.push_back(std::make_shared<RtDevice>(rt, i));
      }
      return out;
    } catch (const std::exception& e) {
      return library_error(e);
    }
  }

  Result<DevicePtr> default_input_device() override {
    try {
      auto opened = open_library();
      if (!opened) {
        return opened.error();
      }
      std::shared_ptr<RtAudio> rt = opened.value();
      const unsigned int count = rt->getDeviceCount();
      for (unsigned int i = 0; i < count; ++i) {
        RtAudio::DeviceInfo info = rt->getDeviceInfo(i);
        if (info.probed && info.isDefaultInput && info.inputChannels > 0) {
          return DevicePtr(std::make_shared<RtDevice>(rt, i));
        }
      }
      return DevicePtr();
    } catch (const std::exception& e) {
      return library_error(e);
    }
  }
};

}  // namespace

std::vector<ConfigRange> rtaudio_config_ranges(const RtDeviceFacts& facts) {
  std::vector<ConfigRange> ranges;
  if (facts.channels == 0) {
    return ranges;
  }
  std::vector<unsigned int> rates = facts.sample_rates;
  if (rates.empty() && facts.preferred_sample_rate) {
    rates.push_back(facts.preferred_sample_rate);
  }
  const auto count = static_cast<uint16_t>(
      std::min<unsigned int>(facts.channels, std::numeric_limits<uint16_t>::max()));
  for (unsigned int rate : rates) {
    for (const NativeFormat& f : NATIVE_FORMATS) {
      if (facts.native_formats & f.flag) {
        ranges.push_back(ConfigRange{count, rate, rate, f.format, std::nullopt});
      }
    }
  }
  return ranges;
}

std::unique_ptr<DeviceLayer> make_device_layer() {
  return std::make_unique<RtDeviceLayer>();
}

}  // namespace wf::bridge
