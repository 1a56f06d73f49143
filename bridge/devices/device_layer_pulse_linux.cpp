// The device layer on Linux: the sound server's own protocol (PulseAudio, or
// PipeWire's pulse server) through libpulse's threaded main loop. Sources are
// the inputs, sinks the outputs.
//
// Every wait on the server has a deadline: a server that has been stopped
// (or is deadlocked) accepts the connection and then never answers, and the
// dispatch thread must not wait for it.
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/devices/capture_buffers.h"
#include "bridge/devices/device_layer.h"
#include "bridge/devices/rates.h"

namespace wf::bridge {

namespace {

using Clock = std::chrono::steady_clock;

// The whole listing, connecting included.
constexpr auto LIST_LIMIT = std::chrono::seconds(1);
// A stream's server is asked for a sign of life this often, and counts as
// stopped when an answer is this late: far beyond what a busy server takes,
// so that load alone never ends a stream.
constexpr pa_usec_t PING_INTERVAL_US = 500 * PA_USEC_PER_MSEC;
constexpr pa_usec_t PING_LIMIT_US = 3 * PA_USEC_PER_SEC;
// The buffer a stream asks for when the caller names none.
constexpr uint32_t DEFAULT_BUFFER_MS = 20;

// The formats the server converts a recording to, in the order offered.
constexpr SampleFormat OFFERED_FORMATS[] = {SampleFormat::F32, SampleFormat::I16};

std::string server_error(pa_context* context) {
  return pa_strerror(pa_context_errno(context));
}

void wake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

enum class Wait { done, failed, timed_out };

// One connection to the server: a threaded main loop and a context. All
// use of the context happens with the loop locked.
class Connection {
 public:
  ~Connection() {
    if (loop_) {
      pa_threaded_mainloop_stop(loop_);
    }
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) {
      pa_threaded_mainloop_free(loop_);
    }
  }

  /// Connects within `deadline`.
  static Result<std::shared_ptr<Connection>> open(Clock::time_point deadline) {
    auto c = std::make_shared<Connection>();
    c->loop_ = pa_threaded_mainloop_new();
    if (!c->loop_) {
      return Error("cannot start the sound server connection");
    }
    c->context_ = pa_context_new(pa_threaded_mainloop_get_api(c->loop_), "Wrenfield Audio Bridge");
    if (!c->context_) {
      return Error("cannot start the sound server connection");
    }
    pa_context_set_state_callback(
        c->context_,
        [](pa_context*, void* loop) {
          pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        c->loop_);
    if (pa_threaded_mainloop_start(c->loop_) != 0) {
      return Error("cannot start the sound server connection");
    }
    Lock lock(*c);
    // Never start a server of our own: without one there are no devices.
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return Error("cannot reach the sound server: " + server_error(c->context_));
    }
    switch (c->wait_until([&] { return pa_context_get_state(c->context_) == PA_CONTEXT_READY; },
                          deadline)) {
      case Wait::done:
        return c;
      case Wait::failed:
        return Error("cannot reach the sound server: " + server_error(c->context_));
      case Wait::timed_out:
        break;
    }
    return Error("the sound server did not answer in time");
  }

  /// Holds the loop's lock for a scope (the lock is recursive).
  class Lock {
   public:
    explicit Lock(const Connection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  /// With the lock held: waits until `done` holds, the context fails or
  /// `deadline` passes. Callbacks that change what `done` looks at signal
  /// the loop.
  Wait wait_until(const std::function<bool()>& done, Clock::time_point deadline) {
    pa_time_event* alarm = nullptr;
    Wait result = Wait::done;
    while (!done()) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        result = Wait::failed;
        break;
      }
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) {
        result = Wait::timed_out;
        break;
      }
      const pa_usec_t at =
          pa_rtclock_now() +
          static_cast<pa_usec_t>(
              std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1);
      if (!alarm) {
        alarm = pa_context_rttime_new(context_, at, wake, loop_);
      } else {
        pa_context_rttime_restart(context_, alarm, at);
      }
      pa_threaded_mainloop_wait(loop_);
    }
    if (alarm) {
      pa_threaded_mainloop_get_api(loop_)->time_free(alarm);
    }
    return result;
  }

  /// True while the connection can be used for another listing.
  bool usable() {
    Lock lock(*this);
    return !abandoned_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
  }
  /// Marks a connection whose server stopped answering: it is not used for
  /// listings again.
  void abandon() { abandoned_ = true; }

 private:
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool abandoned_ = false;  // guarded by the loop lock
};

using ConnectionPtr = std::shared_ptr<Connection>;

// One source or sink as the listing found it.
struct Endpoint {
  bool input = false;
  std::string name;  // the server's persistent name
  std::string description;
  uint8_t channels = 0;
  uint32_t rate = 0;
  pa_channel_map map{};
};

struct Listing {
  std::vector<Endpoint> sources;
  std::vector<Endpoint> sinks;
  std::string default_source;
};

template <class Info>
Endpoint endpoint_of(const Info& info, bool input) {
  Endpoint e;
  e.input = input;
  e.name = info.name ? info.name : "";
  e.description = info.description ? info.description : "";
  e.channels = info.sample_spec.channels;
  e.rate = info.sample_spec.rate;
  e.map = info.channel_map;
  return e;
}

struct ListQuery {
  pa_threaded_mainloop* loop = nullptr;
  Listing listing;
  int pending = 3;
  bool failed = false;

  void finish(bool ok) {
    failed = failed || !ok;
    --pending;
    pa_threaded_mainloop_signal(loop, 0);
  }
};

template <class Info>
void on_endpoint(const Info* info, int eol, ListQuery& q, std::vector<Endpoint>& into, bool input) {
  if (eol == 0 && info) {
    into.push_back(endpoint_of(*info, input));
  } else {
    q.finish(eol > 0);
  }
}

// Asks for the server's defaults, sources and sinks at once and waits for
// all three answers.
Result<Listing> list_endpoints(Connection& c, Clock::time_point deadline) {
  ListQuery q;
  q.loop = c.loop();
  Connection::Lock lock(c);
  pa_operation* ops[3] = {
      pa_context_get_server_info(
          c.context(),
          [](pa_context*, const pa_server_info* info, void* user) {
            auto& q = *static_cast<ListQuery*>(user);
            if (info && info->default_source_name) {
              q.listing.default_source = info->default_source_name;
            }
            q.finish(info != nullptr);
          },
          &q),
      pa_context_get_source_info_list(
          c.context(),
          [](pa_context*, const pa_source_info* info, int eol, void* user) {
            auto& q = *static_cast<ListQuery*>(user);
            on_endpoint(info, eol, q, q.listing.sources, true);
          },
          &q),
      pa_context_get_sink_info_list(
          c.context(),
          [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto& q = *static_cast<ListQuery*>(user);
            on_endpoint(info, eol, q, q.listing.sinks, false);
          },
          &q),
  };
  for (pa_operation* op : ops) {
    if (!op) {
      // The callbacks of the others must not run once `q` is gone.
      for (pa_operation* other : ops) {
        if (other) {
          pa_operation_cancel(other);
          pa_operation_unref(other);
        }
      }
      return Error("cannot list the sound server's devices: " + server_error(c.context()));
    }
  }
  const Wait waited = c.wait_until([&] { return q.pending == 0; }, deadline);
  for (pa_operation* op : ops) {
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
      pa_operation_cancel(op);
    }
    pa_operation_unref(op);
  }
  switch (waited) {
    case Wait::timed_out:
      c.abandon();
      return Error("the sound server did not answer in time");
    case Wait::failed:
      return Error("cannot list the sound server's devices: " + server_error(c.context()));
    case Wait::done:
      break;
  }
  if (q.failed) {
    return Error("cannot list the sound server's devices: " + server_error(c.context()));
  }
  return std::move(q.listing);
}

// Gives up a recording stream for good. One that is open is disconnected.
// One the server has not answered yet cannot be: the request is on its way,
// and a server that was only slow (PipeWire's core stopped while its pulse
// server answers) carries it out later. So the stream keeps its reference
// and a state callback that disconnects it the moment it becomes ready, and
// lets it go once it has ended. Dropping the connection ends it as well: the
// context then fails every stream it holds, which runs the same callback.
void abandon(pa_stream* stream) {
  auto on_state = [](pa_stream* s, void*) {
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
      pa_stream_disconnect(s);
    } else if (!PA_STREAM_IS_GOOD(state)) {
      pa_stream_set_state_callback(s, nullptr, nullptr);
      pa_stream_unref(s);
    }
  };
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING) {
    pa_stream_set_state_callback(stream, on_state, nullptr);
    return;
  }
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  if (state == PA_STREAM_READY) {
    pa_stream_disconnect(stream);
  }
  pa_stream_unref(stream);
}

// A recording stream on one source. The capture callback runs on the
// connection's loop thread, with the loop locked, for every fragment the
// server sends.
class PulseInputStream : public InputStream {
 public:
  PulseInputStream(ConnectionPtr connection, CaptureCallback capture, StreamErrorFn on_error)
      : connection_(std::move(connection)),
        capture_(std::move(capture)),
        on_error_(std::move(on_error)) {}

  ~PulseInputStream() override {
    {
      Connection::Lock lock(*connection_);
      // With the lock held no callback is running; after this none starts.
      if (ping_) {
        pa_operation_cancel(ping_);
        pa_operation_unref(ping_);
      }
      if (watchdog_) {
        pa_threaded_mainloop_get_api(connection_->loop())->time_free(watchdog_);
      }
      if (stream_) {
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        abandon(stream_);
      }
    }
    // The callbacks (and what they hold) go with the members, and the
    // connection's loop stops once nothing else uses it.
  }

  /// Opens the recording on `endpoint`; the server has `limit` to accept it.
  Status open(const Endpoint& endpoint, const StreamRequest& request) {
    pa_sample_spec spec{};
    switch (capture_format(capture_)) {
      case SampleFormat::F32:
        spec.format = PA_SAMPLE_FLOAT32NE;
        break;
      case SampleFormat::I16:
        spec.format = PA_SAMPLE_S16NE;
        break;
      default:
        return Error("the sound server records no unsigned 16-bit samples");
    }
    spec.rate = request.sample_rate;
    spec.channels = static_cast<uint8_t>(std::min<uint16_t>(request.channels, PA_CHANNELS_MAX));
    if (!pa_sample_spec_valid(&spec) || spec.channels != request.channels) {
      return Error("the sound server cannot record " + std::to_string(request.channels) +
                   " channels at " + std::to_string(request.sample_rate) + " Hz");
    }
    // The device's own first channels, unmixed.
    pa_channel_map map = endpoint.map;
    if (!pa_channel_map_valid(&map) || map.channels < spec.channels) {
      pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    }
    map.channels = spec.channels;
    frame_bytes_ = pa_frame_size(&spec);

    const auto deadline = Clock::now() + request.timeout;
    Connection::Lock lock(*connection_);
    pa_context* context = connection_->context();
    stream_ = pa_stream_new(context, "Input meter", &spec, &map);
    if (!stream_) {
      return Error("cannot open the input stream: " + server_error(context));
    }
    pa_stream_set_state_callback(stream_, on_state, this);
    pa_stream_set_read_callback(stream_, on_read, this);
    const uint32_t frames = request.buffer_frames.value_or(spec.rate * DEFAULT_BUFFER_MS / 1000);
    buffers_.emplace(std::max<uint32_t>(frames, 1) * frame_bytes_);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);  // every member: the server's choice
    attr.fragsize = static_cast<uint32_t>(std::max<uint32_t>(frames, 1) * frame_bytes_);
    // The stream must stay on the chosen source: when the source goes, the
    // server kills the stream instead of moving it elsewhere.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | PA_STREAM_NO_REMIX_CHANNELS);
    if (pa_stream_connect_record(stream_, endpoint.name.c_str(), &attr, flags) < 0) {
      return Error("cannot open the input stream: " + server_error(context));
    }
    const Wait waited = connection_->wait_until(
        [&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; }, deadline);
    if (waited == Wait::timed_out) {
      return Error("the sound server did not open the input stream within " +
                   std::to_string(request.timeout.count()) + " ms");
    }
    if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
      return Error("cannot open the input stream: " + server_error(context));
    }
    return {};
  }

  Status play() override {
    Connection::Lock lock(*connection_);
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) {
      return Error("the input stream is closed: " + server_error(connection_->context()));
    }
    playing_ = true;
    watchdog_ = pa_context_rttime_new(connection_->context(), pa_rtclock_now() + PING_INTERVAL_US,
                                      on_watchdog, this);
    return {};
  }

 private:
  // Reports the stream's end once; from then on nothing is delivered.
  void fail(const std::string& description) {
    if (failed_) {
      return;
    }
    failed_ = true;
    if (playing_ && on_error_) {
      on_error_(description);
    }
  }

  static void on_state(pa_stream* s, void* user) {
    auto* self = static_cast<PulseInputStream*>(user);
    pa_threaded_mainloop_signal(self->connection_->loop(), 0);
    if (pa_stream_get_state(s) == PA_STREAM_FAILED) {
      self->fail("the sound server ended the input stream: " +
                 server_error(self->connection_->context()));
    }
  }

  static void on_read(pa_stream* s, size_t, void* user) {
    auto* self = static_cast<PulseInputStream*>(user);
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
        return;
      }
      // The server's pieces are joined into buffers of the size asked for,
      // as the callback expects; a hole (no data) breaks the buffer being
      // joined. Pieces before play and after a failure are dropped.
      if (!data) {
        self->buffers_->gap();
      } else if (self->playing_ && !self->failed_) {
        self->buffers_->add(std::string_view(static_cast<const char*>(data), bytes),
                            [self](std::string_view b) { self->deliver(b.data(), b.size()); });
      }
      pa_stream_drop(s);
    }
  }

  template <class T>
  void deliver_as(const CaptureFn<T>& fn, const void* data, size_t bytes) {
    fn(std::span<const T>(static_cast<const T*>(data), bytes / sizeof(T)));
  }

  void deliver(const void* data, size_t bytes) {
    switch (capture_.index()) {
      case 0:
        deliver_as(std::get<0>(capture_), data, bytes);
        break;
      case 1:
        deliver_as(std::get<1>(capture_), data, bytes);
        break;
      default:
        deliver_as(std::get<2>(capture_), data, bytes);
        break;
    }
  }

  // A server that has stopped (SIGSTOP, a deadlock) keeps the connection
  // open and just stops sending: only a question it leaves unanswered shows.
  static void on_watchdog(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* user) {
    auto* self = static_cast<PulseInputStream*>(user);
    if (self->failed_) {
      return;
    }
    const pa_usec_t now = pa_rtclock_now();
    if (self->ping_) {
      if (now - self->ping_sent_ > PING_LIMIT_US) {
        self->fail("the sound server stopped answering");
        return;
      }
    } else {
      self->ping_ = pa_stream_update_timing_info(self->stream_, on_pong, self);
      self->ping_sent_ = now;
    }
    pa_context_rttime_restart(self->connection_->context(), e, now + PING_INTERVAL_US);
  }

  static void on_pong(pa_stream*, int, void* user) {
    auto* self = static_cast<PulseInputStream*>(user);
    if (self->ping_) {
      pa_operation_unref(self->ping_);
      self->ping_ = nullptr;
    }
  }

  ConnectionPtr connection_;
  CaptureCallback capture_;
  StreamErrorFn on_error_;
  size_t frame_bytes_ = 0;
  // The rest is guarded by the loop lock.
  pa_stream* stream_ = nullptr;
  std::optional<CaptureBuffers> buffers_;
  bool playing_ = false;
  bool failed_ = false;
  pa_time_event* watchdog_ = nullptr;
  pa_operation* ping_ = nullptr;
  pa_usec_t ping_sent_ = 0;
};

class PulseDevice : public Device {
 public:
  PulseDevice(ConnectionPtr connection, Endpoint endpoint)
      : connection_(std::move(connection)), endpoint_(std::move(endpoint)) {}

  Result<std::string> name() const override {
    if (endpoint_.description.empty()) {
      return Error("the device has no description");
    }
    return endpoint_.description;
  }

  Result<std::vector<ConfigRange>> supported_input_configs() const override {
    return endpoint_.input ? ranges() : std::vector<ConfigRange>{};
  }
  Result<std::vector<ConfigRange>> supported_output_configs() const override {
    return endpoint_.input ? std::vector<ConfigRange>{} : ranges();
  }

  Result<InputStreamPtr> build_input_stream(const StreamRequest& request, CaptureCallback capture,
                                            StreamErrorFn on_error) override {
    if (!endpoint_.input) {
      return Error("the device records nothing");
    }
    auto stream =
        std::make_unique<PulseInputStream>(connection_, std::move(capture), std::move(on_error));
    if (Status opened = stream->open(endpoint_, request); !opened) {
      return opened.error();
    }
    return InputStreamPtr(std::move(stream));
  }

 private:
  // The server converts a recording to any rate up to its limit.
  std::vector<ConfigRange> ranges() const {
    return converted_rate_ranges(endpoint_.channels, endpoint_.rate, PA_RATE_MAX, OFFERED_FORMATS);
  }

  ConnectionPtr connection_;
  Endpoint endpoint_;
};

// Lists afresh on every call. The connection is kept between calls while it
// works; one that failed or stopped answering is replaced on the next call,
// so a server that comes back at the same address is used again.
class PulseDeviceLayer : public DeviceLayer {
 public:
  Result<std::vector<DevicePtr>> devices() override {
    auto listed = list();
    if (!listed) {
      return listed.error();
    }
    std::vector<DevicePtr> out;
    for (Endpoint& e : listed->second.sources) {
      out.push_back(std::make_shared<PulseDevice>(listed->first, std::move(e)));
    }
    for (Endpoint& e : listed->second.sinks) {
      out.push_back(std::make_shared<PulseDevice>(listed->first, std::move(e)));
    }
    return out;
  }

  Result<DevicePtr> default_input_device() override {
    auto listed = list();
    if (!listed) {
      return listed.error();
    }
    for (Endpoint& e : listed->second.sources) {
      if (e.name == listed->second.default_source) {
        return DevicePtr(std::make_shared<PulseDevice>(listed->first, std::move(e)));
      }
    }
    return DevicePtr();
  }

  Result<DeviceListing> list_with_default_input() override {
    auto listed = list();
    if (!listed) {
      return listed.error();
    }
    DeviceListing out;
    for (Endpoint& e : listed->second.sources) {
      const bool is_default = e.name == listed->second.default_source;
      out.devices.push_back(std::make_shared<PulseDevice>(listed->first, std::move(e)));
      if (is_default) {
        out.default_input = out.devices.back();
      }
    }
    for (Endpoint& e : listed->second.sinks) {
      out.devices.push_back(std::make_shared<PulseDevice>(listed->first, std::move(e)));
    }
    return out;
  }

 private:
  Result<std::pair<ConnectionPtr, Listing>> list() {
    const auto deadline = Clock::now() + LIST_LIMIT;
    if (connection_ && !connection_->usable()) {
      connection_.reset();
    }
    if (!connection_) {
      auto opened = Connection::open(deadline);
      if (!opened) {
        return opened.error();
      }
      connection_ = opened.value();
    }
    auto listing = list_endpoints(*connection_, deadline);
    if (!listing) {
      return listing.error();
    }
    return std::pair(connection_, std::move(listing.value()));
  }

  ConnectionPtr connection_;
};

}  // namespace

std::unique_ptr<DeviceLayer> make_device_layer() {
  return std::make_unique<PulseDeviceLayer>();
}

}  // namespace wf::bridge
