#include "channel/dispatcher.h"

#include <poll.h>

#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;

StartedCommand startCommand(const QueuedLine& line, const Registry& registry, HostState& host) {
  StartedCommand started;
  started.reply = runEnvelope(line, [&](const json& request) -> json {
    const auto op = request.at("op").get<std::string>();
    if (const ChainOperation* operation = registry.chainOperation(op)) {
      return (*operation)(request, host);
    }
    if (const DeferredOperation* operation = registry.deferredOperation(op)) {
      started.pending = (*operation)(request, host);
      return json();
    }
    const auto index = request.at("index").get<uint64_t>();
    if (index >= host.chain.size()) {
      throw PluginError("Insert missing");
    }
    const InsertOperation* operation = registry.insertOperation(op);
    if (operation == nullptr) {
      throw PluginError("Unknown operation");
    }
    return (*operation)(request, *host.chain[index], host);
  });
  if (started.pending) {
    // The stand-in result is replaced once the command is done.
    started.reply.erase("result");
  }
  return started;
}

std::optional<json> pollCommand(StartedCommand& command) {
  if (!command.pending) {
    return command.reply;
  }
  try {
    std::optional<json> result = command.pending->poll();
    if (!result) {
      return std::nullopt;
    }
    command.reply["result"] = std::move(*result);
  } catch (const std::exception& e) {
    command.reply["error"] = e.what();
  }
  command.pending.reset();
  return command.reply;
}

json handleCommand(const QueuedLine& line, const Registry& registry, HostState& host) {
  StartedCommand command = startCommand(line, registry, host);
  for (;;) {
    if (std::optional<json> reply = pollCommand(command)) {
      return *reply;
    }
    // Nothing else to serve here: sleep until the command can progress.
    std::vector<pollfd> fds;
    for (int fd : command.pending->watchedFds()) {
      fds.push_back({fd, POLLIN, 0});
    }
    const auto within = command.pending->pollWithin();
    const int timeout =
        within ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*within).count())
               : -1;
    ::poll(fds.data(), fds.size(), timeout);
  }
}

}  // namespace wf::host
