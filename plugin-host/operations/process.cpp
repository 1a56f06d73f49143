#include "operations/process.h"

#include "channel/sample_text.h"
#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;

namespace {
constexpr size_t BLOCK_SAMPLES = 2048;
constexpr size_t INSTRUMENT_BLOCK_SAMPLES = 512;
}  // namespace

void processBlock(const json& request, std::vector<float>& samples, HostState& host) {
  const bool accepted =
      samples.size() == BLOCK_SAMPLES ||
      (samples.size() == INSTRUMENT_BLOCK_SAMPLES && request.value("instrument", false));
  if (!accepted) {
    throw PluginError("Invalid audio block size");
  }
  std::lock_guard<std::mutex> hold(host.chainLock);
  static const json NO_EVENTS = json::array();
  for (auto& insert : host.chain) {
    const auto found = request.find("events");
    const json& events = found != request.end() ? *found : NO_EVENTS;
    insert->process(samples, events, request.value("tempo", 120.0), request.value("beat", 0.0),
                    request.value("playing", false));
  }
}

std::string processRequest(QueuedLine& line, HostState& host) {
  std::vector<float> samples;
  // The envelope settles the id and every failure; its result is a stand-in,
  // because the samples are written straight into the reply line.
  const json reply = runEnvelope(line, [&](const json& request) {
    samples = line.samples ? std::move(*line.samples) : request.at("pcm").get<std::vector<float>>();
    processBlock(request, samples, host);
    return json();
  });
  if (reply.contains("error")) {
    return replyLine(reply);
  }
  // Members in ascending order, as every reply: "id", then "result".
  std::string text = "{\"id\":";
  text += reply.at("id").dump(-1, ' ', false, json::error_handler_t::replace);
  text += ",\"result\":";
  appendSamples(text, samples);
  text += "}\n";
  return text;
}

}  // namespace wf::host
