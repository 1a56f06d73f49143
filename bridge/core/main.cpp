#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/core/access.h"
#include "bridge/core/bridge_state.h"
#include "bridge/core/port.h"
#include "bridge/core/serve.h"
#include "bridge/devices/device_layer.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/http/http_server.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"

using namespace wf::bridge;

namespace {

std::optional<std::string_view> env_text(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a vanished client or encoder must fail, not end the bridge.
  ::signal(SIGPIPE, SIG_IGN);

  const uint16_t port = parse_port(std::vector<std::string>(argv + 1, argv + argc));
  auto access =
      parse_access_policy(env_text("WRENFIELD_BRIDGE_TOKEN"), env_text("WRENFIELD_BRIDGE_ORIGINS"));
  if (!access) {
    std::cerr << "Error: " << access.error().message() << std::endl;
    return 1;
  }
  // The encoder children inherit the environment; the secret is not theirs.
  ::unsetenv("WRENFIELD_BRIDGE_TOKEN");

  auto server = HttpServer::bind(port);
  if (!server) {
    std::cerr << "Error: " << server.error().message() << std::endl;
    return 1;
  }

  RouteContext context;
  context.access = &*access;
  context.state = std::make_shared<SharedState>();
  // The device layer outlives the stream opened through it.
  auto devices = make_device_layer();
  auto stream = std::make_unique<StreamSlot>();
  context.devices = devices.get();
  context.stream = stream.get();
  auto encoders = std::make_unique<EncoderList>();
  context.encoders = encoders.get();

  // A caller that asked for any free port (0) learns the one it got; every
  // other port is the one that was asked for and bound.
  const unsigned shown = port == 0 ? (*server)->port() : port;
  std::printf("Wrenfield Audio Bridge listening on http://127.0.0.1:%u\n", shown);
  std::fflush(stdout);

  serve([&] { return (*server)->next(); }, context, route_table(), std::cerr);
  // Closes the encoders' input pipes; the children are not killed here.
  context.encoders = nullptr;
  encoders.reset();
  // Closes an open input stream.
  context.stream = nullptr;
  stream.reset();
  return 0;
}
