#include "operations/process.h"

#include "channel/sample_text.h"
#include "insert/plugin.h"
#include "operations/latency_changes.h"

namespace wf::host {

using nlohmann::json;

namespace {
constexpr size_t BLOCK_SAMPLES = 2048;
constexpr size_t INSTRUMENT_BLOCK_SAMPLES = 512;
}  // namespace

std::optional<uint64_t> processBlock(const json& request, std::vector<float>& samples,
                                     HostState& host) {
  const bool accepted =
      samples.size() == BLOCK_SAMPLES ||
      (samples.size() == INSTRUMENT_BLOCK_SAMPLES && request.value("instrument", false));
  if (!accepted) {
    throw PluginError("Invalid audio block size");
  }
  std::lock_guard<std::mutex> hold(host.chainLock);
  static const json NO_EVENTS = json::array();
  bool newLatency = false;
  size_t ran = 0;
  try {
    for (auto& insert : host.chain) {
      const auto found = request.find("events");
      const json& events = found != request.end() ? *found : NO_EVENTS;
      insert->tookNewLatency = false;
      ++ran;
      insert->process(samples, events, request.value("tempo", 120.0), request.value("beat", 0.0),
                      request.value("playing", false));
      newLatency = newLatency || insert->tookNewLatency;
    }
  } catch (...) {
    // A failed block has no reply to carry the new latency: the next
    // successful one does.
    for (size_t i = 0; i < ran; ++i) {
      if (host.chain[i]->tookNewLatency) {
        host.chain[i]->latencyAdopted.store(true);
      }
    }
    throw;
  }
  if (!newLatency) {
    return std::nullopt;
  }
  return chainLatency(host.chain);
}

std::string processRequest(QueuedLine& line, HostState& host) {
  std::vector<float> samples;
  std::optional<uint64_t> latency;
  // The envelope settles the id and every failure; its result is a stand-in,
  // because the samples are written straight into the reply line.
  const json reply = runEnvelope(line, [&](const json& request) {
    samples = line.samples ? std::move(*line.samples) : request.at("pcm").get<std::vector<float>>();
    latency = processBlock(request, samples, host);
    return json();
  });
  if (reply.contains("error")) {
    return replyLine(reply);
  }
  // Members in ascending order, as every reply: "id", then "result".
  std::string text = "{\"id\":";
  text += reply.at("id").dump(-1, ' ', false, json::error_handler_t::replace);
  if (latency) {
    // Members in ascending order: "latency" sits between the two.
    text += ",\"latency\":" + std::to_string(*latency);
  }
  text += ",\"result\":";
  appendSamples(text, samples);
  text += "}\n";
  return text;
}

}  // namespace wf::host
