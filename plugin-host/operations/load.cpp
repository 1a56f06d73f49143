#include "channel/host_state.h"
#include "insert/plugin.h"
#include "operations/latency_changes.h"
#include "operations/register_operations.h"

namespace wf::host {

using nlohmann::json;

namespace {

constexpr size_t MAX_INSERTS = 8;

// "plugins" as a list: an array or the values of an object, nothing for
// null, else the one value.
std::vector<const json*> descriptorList(const json& plugins) {
  std::vector<const json*> list;
  if (plugins.is_null()) {
    return list;
  }
  if (plugins.is_array() || plugins.is_object()) {
    for (const json& item : plugins) {
      list.push_back(&item);
    }
    return list;
  }
  list.push_back(&plugins);
  return list;
}

// Builds the new chain beside the running one, swaps it in under the chain
// lock, and tears the old one down afterwards, outside the lock.
json load(const json& request, HostState& host) {
  const json& plugins = request.at("plugins");
  const auto descriptors = descriptorList(plugins);
  if (descriptors.size() > MAX_INSERTS) {
    throw PluginError("Maximum eight inserts");
  }
  const double sampleRate = request.value("sampleRate", 48000.0);

  Chain fresh;
  for (const json* descriptor : descriptors) {
    auto insert = std::make_unique<Plugin>();
    insert->handler.wake = host.wakeMain;
    try {
      insert->load(*descriptor, sampleRate);
    } catch (const std::exception& e) {
      throw PluginError(Plugin::displayName(*descriptor) + ": " + e.what());
    }
    fresh.push_back(std::move(insert));
  }

  {
    std::lock_guard<std::mutex> hold(host.chainLock);
    host.chain.swap(fresh);
  }
  uint32_t latency = 0;
  for (auto& insert : host.chain) {
    latency += insert->latency();
  }
  while (!fresh.empty()) {
    fresh.pop_back();
  }
  if (latency > MAX_CHAIN_LATENCY) {
    throw PluginError("Plugin latency exceeds one second");
  }
  return {{"latency", latency}, {"ready", true}};
}

}  // namespace

void registerLoad(Registry& registry) {
  registry.addChainOperation("load", load);
}

}  // namespace wf::host
