#include "channel/dispatcher.h"

#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;

json handleCommand(const QueuedLine& line, const Registry& registry, HostState& host) {
  return runEnvelope(line, [&](const json& request) -> json {
    const auto op = request.at("op").get<std::string>();
    if (const ChainOperation* operation = registry.chainOperation(op)) {
      return (*operation)(request, host);
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
}

}  // namespace wf::host
