#include "operations/process.h"

#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;

namespace {
constexpr size_t BLOCK_SAMPLES = 2048;
constexpr size_t INSTRUMENT_BLOCK_SAMPLES = 512;
}  // namespace

json processBlock(const json& request, HostState& host) {
  auto samples = request.at("pcm").get<std::vector<float>>();
  const bool accepted =
      samples.size() == BLOCK_SAMPLES ||
      (samples.size() == INSTRUMENT_BLOCK_SAMPLES && request.value("instrument", false));
  if (!accepted) {
    throw PluginError("Invalid audio block size");
  }
  {
    std::lock_guard<std::mutex> hold(host.chainLock);
    static const json NO_EVENTS = json::array();
    for (auto& insert : host.chain) {
      const auto found = request.find("events");
      const json& events = found != request.end() ? *found : NO_EVENTS;
      insert->process(samples, events, request.value("tempo", 120.0), request.value("beat", 0.0),
                      request.value("playing", false));
    }
  }
  json result = json::array();
  auto& values = result.get_ref<json::array_t&>();
  values.reserve(samples.size());
  for (float sample : samples) {
    values.emplace_back(static_cast<double>(sample));
  }
  return result;
}

json processRequest(const QueuedLine& line, HostState& host) {
  return runEnvelope(line, [&](const json& request) { return processBlock(request, host); });
}

}  // namespace wf::host
