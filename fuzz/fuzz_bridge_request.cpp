// The bridge's request path in process: bytes as a connection delivers them,
// through the facility's parser, then every complete request dispatched
// against the real route table with a fake device layer and fake encoder
// children behind it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/http/http_server.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "fuzz/log_folder.h"

using namespace wf::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wf::fuzz::log_folder();
  FakeDeviceLayer layer;
  layer.default_input = layer.add("Mic", {fixed_range(2, 48000)});
  layer.add("Line", {fixed_range(8, 44100, SampleFormat::I16)});
  StreamSlot slot;
  EncoderList encoders;
  FakeLauncher launcher;
  // Children end at their first status query, so stopping never waits.
  launcher.on_launch = [](FakeChild& child) {
    child.exit_after_polls = 0;
    return Status{};
  };
  RouteContext context{std::make_shared<SharedState>(), &slot, &encoders, &layer};
  context.launcher = &launcher;

  HttpLimits limits;
  limits.header_limit = 8 * 1024;
  limits.body_limit = 64 * 1024;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (;;) {
    ParsedRequest parsed = parse_request(bytes, limits);
    if (parsed.outcome != ParsedRequest::Outcome::complete) {
      break;
    }
    if (parsed.consumed == 0 || parsed.consumed > bytes.size()) {
      std::abort();
    }
    bytes.remove_prefix(parsed.consumed);
    (void)handle_request(std::move(parsed.request), context);
    if (!parsed.keep_alive) {
      break;
    }
  }
  stop_encoder(encoders.processes(), steady_clock(), std::chrono::milliseconds(0));
  wf::fuzz::empty_log_folder();
  return 0;
}
