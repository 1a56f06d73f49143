// POST /start as the route sees it: any body, after a first /start has
// opened the default input, dispatched against the real route table with a
// scripted device layer. Besides memory faults it checks what a /start
// promises: a body that does not parse changes nothing and the open stream
// keeps playing; one that parses always releases that stream, and a success
// leaves exactly one stream playing, on a device the request names, with the
// state describing it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/devices/devices.h"
#include "bridge/metering/metering.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"

using namespace wf::bridge;

namespace {

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "start promise violated: %s\n", what);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) {
    violated(what);
  }
}

// Devices that reach every branch of the lookup and the configuration
// choice: a default, several formats and ranges, a name that cannot be
// read, an output-only device, a device without a meterable format, one
// whose name looks like another's id, and one whose query fails.
struct Devices {
  FakeDeviceLayer layer;
  std::shared_ptr<FakeDevice> mic;

  Devices() {
    mic = layer.add("Mic", {fixed_range(2, 48000)});
    layer.default_input = mic;
    layer.add("Line", {fixed_range(8, 44100, SampleFormat::I16),
                       ConfigRange{2, 8000, 192000, SampleFormat::U16, std::nullopt}});
    layer.add(std::nullopt, {fixed_range(1, 16000)});
    layer.add("Speakers", {}, {fixed_range(2, 48000)});
    layer.add("Wide", {fixed_range(64, 96000, SampleFormat::F64)});
    layer.add("0:Mic", {fixed_range(65535, 4294967295u, SampleFormat::U16)});
    auto flaky = layer.add("Flaky", {fixed_range(4, 48000)});
    flaky->input_error = "device went away";
    flaky->input_error_after = 1;  // listed, then fails its configuration query
  }

  // Streams that are open and playing, across every device.
  size_t playing() const {
    size_t n = 0;
    for (const auto& d : layer.all) {
      for (const auto& s : d->streams()) {
        n += s->playing() && !s->released();
      }
    }
    return n;
  }
};

// A request given up without a designed reply: the empty 500 that the HTTP
// layer sends, without the bridge's headers.
bool given_up(const MemoryRequest::Reply& reply) {
  return reply.answered && reply.status == 500 && reply.headers.empty() && reply.body.empty();
}

struct Outcome {
  Status status;
  std::shared_ptr<const MemoryRequest::Reply> reply;
};

Outcome post(RouteContext& context, const std::string& path, std::string body) {
  auto request = std::make_unique<MemoryRequest>("POST", path, std::move(body));
  auto reply = request->reply();
  Status status = handle_request(std::move(request), context);
  return {std::move(status), reply};
}

BridgeState snapshot(RouteContext& context) {
  auto guard = context.state->lock();
  if (!guard) {
    violated("state lock poisoned");
  }
  return **guard;
}

// The device a successful /start may have opened for `wanted`: an input
// whose listed id or readable name equals it.
bool names_device(const Devices& d, const FakeDevice& device, const std::string& wanted) {
  std::vector<DevicePtr> all(d.layer.all.begin(), d.layer.all.end());
  const std::vector<DevicePtr> inputs = with_inputs(all);
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].get() != &device) {
      continue;
    }
    auto name = device.name();
    return device_id(i, device_label(device, i)) == wanted || (name && name.value() == wanted);
  }
  return false;
}

void check_started(Devices& d, RouteContext& context, const StartRequest& request) {
  const BridgeState s = snapshot(context);
  check(s.running, "a started stream is not shown as running");
  check(s.channels >= 1 && s.meters.size() == s.channels, "meters do not match the channels");
  for (size_t c = 0; c < s.meters.size(); ++c) {
    check(s.meters[c].channel == c && s.meters[c].peak == -70.0f && s.meters[c].rms == -70.0f,
          "a fresh meter is not channel-numbered silence");
  }
  uint16_t wanted = 48;
  if (request.stereo_only) {
    wanted = 2;
  } else if (request.channel_count) {
    wanted = std::max<uint16_t>(*request.channel_count, 1);
  }
  check(s.channels <= wanted, "more channels opened than wanted");
  check(d.playing() == 1, "not exactly one stream plays after a successful start");

  const FakeDevice* opened = nullptr;
  std::shared_ptr<FakeStreamControl> stream;
  for (const auto& device : d.layer.all) {
    for (const auto& st : device->streams()) {
      if (st->playing() && !st->released()) {
        opened = device.get();
        stream = st;
      }
    }
  }
  check(stream->request().channels == s.channels && stream->request().sample_rate == s.sample_rate,
        "the stream was opened with other values than the state shows");
  const SampleFormat f = stream->format();
  check(f == SampleFormat::F32 || f == SampleFormat::I16 || f == SampleFormat::U16,
        "a stream was opened in a format that cannot be metered");
  if (request.device_id) {
    check(s.active_device_id == request.device_id, "the active id is not the requested text");
    check(names_device(d, *opened, *request.device_id), "the opened device is not the named one");
  } else {
    check(opened == d.mic.get() && s.active_device_id == std::string("Mic"),
          "a start without an id did not open the default input");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  Devices d;
  StreamSlot slot;
  RouteContext context{std::make_shared<SharedState>(), &slot, nullptr, &d.layer};

  if (!post(context, "/start", "").status.ok()) {
    violated("the default input did not open");
  }
  const auto first = d.mic->last_stream();
  const BridgeState before = snapshot(context);

  const Outcome out = post(context, "/start", body);
  // The body as the route parses it; bytes that are not UTF-8 never reach
  // the parser.
  const Result<StartRequest> parsed =
      valid_utf8(body) ? parse_start_request(body) : Result<StartRequest>(Error("not UTF-8"));

  if (!parsed) {
    check(!out.status.ok() && given_up(*out.reply), "a bad body got a designed reply");
    check(first->playing() && !first->released(), "a bad body stopped the open stream");
    const BridgeState after = snapshot(context);
    check(after.running == before.running && after.channels == before.channels &&
              after.active_device_id == before.active_device_id &&
              after.sample_rate == before.sample_rate &&
              after.meters.size() == before.meters.size(),
          "a bad body changed the state");
    check(d.playing() == 1, "a bad body opened a stream");
  } else {
    check(first->released(), "a parsed body left the earlier stream open");
    if (out.status.ok()) {
      check(out.reply->answered && out.reply->status == 200 && out.reply->body == R"({"ok":true})",
            "a successful start did not answer {\"ok\":true}");
      check_started(d, context, parsed.value());
    } else {
      check(given_up(*out.reply), "a failed start got a designed reply");
      check(d.playing() == 0 && slot.empty(), "a failed start left a stream playing");
    }
  }

  // The meters as the front end reads them next.
  auto meters = std::make_unique<MemoryRequest>("GET", "/meters");
  auto reply = meters->reply();
  if (!handle_request(std::move(meters), context).ok() || reply->status != 200 ||
      !nlohmann::json::accept(reply->body)) {
    violated("/meters did not answer JSON");
  }
  return 0;
}
