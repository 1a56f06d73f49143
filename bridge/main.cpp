#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bridge/core/bridge_state.h"
#include "bridge/core/http_server.h"
#include "bridge/core/port.h"
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

  std::printf("Wrenfield Audio Bridge listening on http://127.0.0.1:%u\n", port);
  std::fflush(stdout);

  while (RequestPtr request = (*server)->next()) {
    if (Status s = handle_request(std::move(request), context); !s) {
      std::cerr << "request failed: " << s.error().chain() << std::endl;
    }
  }
  return 0;
}
