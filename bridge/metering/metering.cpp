#include "bridge/metering/metering.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include <nlohmann/json.hpp>

#include "bridge/core/json_members.h"
#include "bridge/core/text.h"
#include "bridge/devices/devices.h"
#include "bridge/http/reply.h"
#include "bridge/metering/levels.h"

namespace wf::bridge {

namespace {

using Flag = std::shared_ptr<std::atomic<bool>>;

Result<StartRequest> parse_members(std::string_view text) {
  nlohmann::json body;
  try {
    body = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return Error(e.what());
  }
  if (!body.is_object()) {
    return Error("the start request must be a JSON object");
  }
  StartRequest r;
  if (auto it = body.find("deviceId"); it != body.end() && !it->is_null()) {
    if (!it->is_string()) {
      return Error("\"deviceId\" must be a string");
    }
    r.device_id = it->get<std::string>();
  }
  auto channels = unsigned_member<uint16_t>(body, "channelCount");
  if (!channels) {
    return channels.error();
  }
  r.channel_count = *channels;
  auto rate = unsigned_member<uint32_t>(body, "sampleRate");
  if (!rate) {
    return rate.error();
  }
  r.sample_rate = *rate;
  if (auto it = body.find("stereoOnly"); it != body.end() && !it->is_null()) {
    if (!it->is_boolean()) {
      return Error("\"stereoOnly\" must be a boolean");
    }
    r.stereo_only = it->get<bool>();
  }
  return r;
}

// Finds the input device the request names, and the id it is recorded under.
Result<std::pair<DevicePtr, std::string>> find_device(const DeviceListing& listing,
                                                      const StartRequest& request) {
  if (!request.device_id) {
    const DevicePtr& device = listing.default_input;
    if (!device) {
      return Error("no default input device available");
    }
    auto name = device->name();
    return std::pair(device, name ? name.value() : std::string("default-input"));
  }
  const std::string& wanted = *request.device_id;
  const std::vector<DevicePtr> inputs = with_inputs(listing.devices);
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto name = inputs[i]->name();
    if (device_id(i, device_label(*inputs[i], i)) == wanted || (name && name.value() == wanted)) {
      return std::pair(inputs[i], wanted);
    }
  }
  return Error("input device not found: " + wanted);
}

template <class T>
CaptureCallback capture_callback(const StateHandle& state, uint16_t channels, const Flag& failed) {
  // The scratch is the callback's own: only the audio thread touches it.
  return CaptureFn<T>(
      [state, channels, failed, scratch = MeterScratch()](std::span<const T> samples) mutable {
        // After a failure the stream is silent: late buffers are not shown.
        if (failed->load(std::memory_order_relaxed)) {
          return;
        }
        update_meters(samples, channels, *state, failed.get(), &scratch);
      });
}

// A lost device can be reported over and over; one line per stream is
// enough, and `running` goes false once.
StreamErrorFn error_callback(const StateHandle& state, const Flag& failed) {
  return [state, failed](const std::string& description) {
    if (failed->exchange(true)) {
      return;
    }
    const std::string line = "audio stream error: " + description + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (auto guard = state->lock()) {
      (**guard).running = false;
    }
  };
}

Result<InputStreamPtr> build_input_stream(Device& device, const StreamRequest& request,
                                          SampleFormat format, const StateHandle& state,
                                          const Flag& failed) {
  StreamErrorFn on_error = error_callback(state, failed);
  switch (format) {
    case SampleFormat::I16:
      return device.build_input_stream(
          request, capture_callback<int16_t>(state, request.channels, failed), on_error);
    case SampleFormat::U16:
      return device.build_input_stream(
          request, capture_callback<uint16_t>(state, request.channels, failed), on_error);
    case SampleFormat::F32:
      return device.build_input_stream(
          request, capture_callback<float>(state, request.channels, failed), on_error);
    default:
      return Error("selected device has no supported PCM input formats");
  }
}

// A 32-bit level as the shortest decimal that reads back as the same float
// (not the float's exact double value); NaN as null.
nlohmann::ordered_json level_json(float x) {
  if (std::isnan(x)) {
    return nullptr;
  }
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf - 1, x).ptr;
  *end = '\0';
  return std::strtod(buf, nullptr);
}

}  // namespace

Result<StartRequest> parse_start_request(std::string_view text) {
  if (is_blank(text)) {
    return StartRequest{};
  }
  auto parsed = parse_members(text);
  if (!parsed) {
    return Error("invalid start payload", parsed.error());
  }
  return parsed;
}

Result<InputStreamPtr> start_stream(DeviceLayer& layer, const StateHandle& state,
                                    const StartRequest& request) {
  // One listing serves the lookup and the default: the platform is asked
  // once per /start, within the layer's one bound.
  auto listing = layer.list_with_default_input();
  if (!listing) {
    return listing.error();
  }
  auto found = find_device(listing.value(), request);
  if (!found) {
    return found.error();
  }
  auto& [device, active_id] = found.value();
  auto config =
      select_input_config(*device, request.sample_rate, request.channel_count, request.stereo_only);
  if (!config) {
    return config.error();
  }

  {
    auto guard = state->lock();
    if (!guard) {
      return guard.error();
    }
    BridgeState& s = **guard;
    s.active_device_id = active_id;
    s.channels = config->channels;
    s.sample_rate = config->sample_rate;
    s.meters.assign(config->channels, ChannelMeter{});
    for (uint16_t c = 0; c < config->channels; ++c) {
      s.meters[c].channel = c;
    }
    s.running = false;
    s.updated_at = std::chrono::steady_clock::now();
  }

  auto failed = std::make_shared<std::atomic<bool>>(false);
  StreamRequest stream_request;
  stream_request.channels = config->channels;
  stream_request.sample_rate = config->sample_rate;
  stream_request.buffer_frames = config->buffer_frames;
  stream_request.timeout = std::chrono::milliseconds(100);
  auto stream = build_input_stream(*device, stream_request, config->sample_format, state, failed);
  if (!stream) {
    return stream.error();
  }
  if (Status played = stream.value()->play(); !played) {
    return played.error();
  }

  auto guard = state->lock();
  if (!guard) {
    return guard.error();
  }
  // A stream that failed the moment it started stays shown as not running.
  if (!failed->load()) {
    (**guard).running = true;
  }
  return std::move(stream.value());
}

Status handle_start(RequestPtr request, RouteContext& context) {
  auto text = request->take_body_text();
  if (!text) {
    return text.error();
  }
  auto parsed = parse_start_request(text.value());
  if (!parsed) {
    return parsed.error();
  }
  // From here on a failure leaves no stream running.
  context.stream->release();
  if (!context.devices) {
    return Error("no audio device layer");
  }
  auto stream = start_stream(*context.devices, context.state, parsed.value());
  if (!stream) {
    // The old stream is gone whatever step failed: the state must not go on
    // showing it as running. A poisoned lock leaves nothing to correct.
    if (auto guard = context.state->lock()) {
      (**guard).running = false;
    }
    return stream.error();
  }
  context.stream->put(std::move(stream.value()));
  return send_ok(std::move(request));
}

Status handle_stop(RequestPtr request, RouteContext& context) {
  context.stream->release();
  {
    auto guard = context.state->lock();
    if (!guard) {
      return guard.error();
    }
    BridgeState& s = **guard;
    s.running = false;
    s.meters.clear();
    s.channels = 0;
  }
  // Sent after the lock is released: a slow client holds nobody up.
  return send_ok(std::move(request));
}

Status handle_meters(RequestPtr request, RouteContext& context) {
  // Copied under the lock, serialised and sent after it: the capture
  // callback waits for the lock, so it is held for the copy alone.
  auto state = context.state->snapshot();
  if (!state) {
    return state.error();
  }
  const auto elapsed = std::chrono::steady_clock::now() - state->updated_at;
  nlohmann::ordered_json meters = nlohmann::ordered_json::array();
  for (const ChannelMeter& m : state->meters) {
    nlohmann::ordered_json entry;
    entry["channel"] = m.channel;
    entry["peak"] = level_json(m.peak);
    entry["rms"] = level_json(m.rms);
    meters.push_back(std::move(entry));
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
  nlohmann::ordered_json body;
  body["running"] = state->running;
  body["sampleRate"] = state->sample_rate;
  body["inputChannels"] = state->channels;
  body["meters"] = std::move(meters);
  body["updatedMsAgo"] = static_cast<uint64_t>(std::max<int64_t>(ms.count(), 0));
  return send_json(std::move(request), 200, body);
}

}  // namespace wf::bridge
