#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bridge/core/bridge_state.h"
#include "bridge/core/port.h"
#include "bridge/devices/device_layer.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/http/http_server.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"

using namespace wf::bridge;

int main(int argc, char** argv) {
  // A write to a vanished client or encoder must fail, not end the bridge.
  ::signal(SIGPIPE, SIG_IGN);

  const uint16_t port = parse_port(std::vector<std::string>(argv + 1, argv + argc));
  auto server = HttpServer::bind(port);
  if (!server) {
    std::cerr << "Error: " << server.error().message() << std::endl;
    return 1;
  }

  RouteContext context;
  context.state = std::make_shared<SharedState>();
  // The device layer outlives the stream opened through it.
  auto devices = make_device_layer();
  auto stream = std::make_unique<StreamSlot>();
  context.devices = devices.get();
  context.stream = stream.get();
  auto encoders = std::make_unique<EncoderList>();
  context.encoders = encoders.get();

  std::printf("Wrenfield Audio Bridge listening on http://127.0.0.1:%u\n", port);
  std::fflush(stdout);

  while (RequestPtr request = (*server)->next()) {
    if (Status s = handle_request(std::move(request), context); !s) {
      std::cerr << "request failed: " << s.error().chain() << std::endl;
    }
  }
  // Closes the encoders' input pipes; the children are not killed here.
  context.encoders = nullptr;
  encoders.reset();
  // Closes an open input stream.
  context.stream = nullptr;
  stream.reset();
  return 0;
}
