// The bridge's request path in process: bytes as a connection delivers them,
// in reads of a size the input chooses, through the framer every connection
// runs (header, 100 Continue, body, the next pipelined request), then every
// whole request dispatched against the real route table with a fake device
// layer and fake encoder children behind it. The same bytes in one read
// must give the same requests.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/http/request_framer.h"
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
  if (size == 0) {
    return 0;
  }
  // The first byte chooses the size of the reads, 5 to 260 bytes. (Reads
  // of fewer than 5 bytes are left out: Boost.Beast 1.74's chunk parser
  // asserts, in builds with assertions only, when the bytes after a final
  // chunk's line arrive one at a time.)
  const size_t read_size = static_cast<size_t>(data[0]) + 5;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  struct Seen {
    FrameStep::Kind kind;
    uint16_t reject_status;
    std::string method, target, body;
    bool keep_alive;
    bool operator==(const Seen&) const = default;
  };
  auto run = [&](size_t piece, bool dispatch) {
    RequestFramer framer(limits);
    std::vector<Seen> seen;
    bool expecting = false;  // a 100 Continue was asked for and not yet used
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min(piece, bytes.size() - at);
      framer.append(bytes.substr(at, n));
      at += n;
      for (;;) {
        FrameStep step = framer.next();
        if (step.kind == FrameStep::Kind::need_more) {
          break;
        }
        const FramedRequest& r = step.request;
        seen.push_back({step.kind, step.reject_status, r.method, r.target, r.body, r.keep_alive});
        if (step.kind == FrameStep::Kind::send_continue) {
          if (expecting) {
            std::abort();  // asked twice for one request
          }
          expecting = true;
          continue;
        }
        if (step.kind != FrameStep::Kind::complete) {
          return seen;
        }
        expecting = false;
        if (dispatch) {
          (void)handle_request(std::make_unique<MemoryRequest>(
                                   std::move(step.request.method), std::move(step.request.target),
                                   std::move(step.request.body), std::move(step.request.headers)),
                               context);
        }
        if (!r.keep_alive) {
          return seen;
        }
      }
    }
    return seen;
  };
  // How a connection ends may depend on the reads: the parser checks a
  // header's lines as far as they have arrived on its first look, and after
  // that only for the header's end, so a broken line is refused at once or
  // waits for the idle limit. The requests and the 100 Continues must not.
  auto passed = [](std::vector<Seen> seen) {
    if (!seen.empty() && seen.back().kind != FrameStep::Kind::complete &&
        seen.back().kind != FrameStep::Kind::send_continue) {
      seen.pop_back();
    }
    return seen;
  };
  if (passed(run(read_size, true)) != passed(run(bytes.size() + 1, false))) {
    std::abort();
  }
  stop_encoder(encoders.processes(), steady_clock(), std::chrono::milliseconds(0));
  wf::fuzz::empty_log_folder();
  return 0;
}
