#include "channel/envelope.h"

#include <unistd.h>

#include <cerrno>

#include "channel/sample_text.h"

namespace wf::host {

using nlohmann::json;

namespace {

bool isProcess(const json& value) {
  if (!value.is_object()) {
    return false;
  }
  auto op = value.find("op");
  return op != value.end() && op->is_string() && op->get_ref<const std::string&>() == "process";
}

// The quick way for "process" lines: their samples straight from the text,
// the few other members through the parser. Anything it does not take is
// parsed whole, so errors keep the parser's own texts and positions.
bool routeProcessLine(std::string_view line, QueuedLine& parsed) {
  std::vector<float> samples;
  std::string rest;
  if (!extractSamples(line, samples, rest)) {
    return false;
  }
  json value = json::parse(rest, nullptr, false);
  if (value.is_discarded() || !isProcess(value)) {
    return false;
  }
  value.erase("pcm");
  parsed.value = std::move(value);
  parsed.samples = std::move(samples);
  return true;
}

}  // namespace

Route routeLine(std::string_view line, QueuedLine& parsed) {
  parsed = QueuedLine{};
  if (line.empty()) {
    parsed.empty = true;
    return Route::Command;
  }
  if (routeProcessLine(line, parsed)) {
    return Route::Process;
  }
  try {
    parsed.value = json::parse(line);
  } catch (const json::exception& e) {
    parsed.parseError = e.what();
    return Route::Command;
  }
  return isProcess(parsed.value) ? Route::Process : Route::Command;
}

json runEnvelope(const QueuedLine& line, const std::function<json(const json&)>& body) {
  json reply = json::object();
  try {
    if (line.parseError) {
      reply["error"] = *line.parseError;
      return reply;
    }
    reply["id"] = line.value.at("id");
    reply["result"] = body(line.value);
  } catch (const std::exception& e) {
    reply.erase("result");
    reply["error"] = e.what();
  }
  return reply;
}

std::string replyLine(const json& reply) {
  std::string text = reply.dump(-1, ' ', false, json::error_handler_t::replace);
  text.push_back('\n');
  return text;
}

void ReplyWriter::write(const json& reply) {
  writeLine(replyLine(reply));
}

void ReplyWriter::writeLine(std::string_view text) {
  std::lock_guard<std::mutex> hold(outputLock_);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace wf::host
