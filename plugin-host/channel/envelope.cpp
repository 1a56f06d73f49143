#include "channel/envelope.h"

#include <unistd.h>

#include <cerrno>

namespace wf::host {

using nlohmann::json;

Route routeLine(std::string_view line, QueuedLine& parsed) {
  parsed = QueuedLine{};
  if (line.empty()) {
    parsed.empty = true;
    return Route::Command;
  }
  try {
    parsed.value = json::parse(line);
  } catch (const json::exception& e) {
    parsed.parseError = e.what();
    return Route::Command;
  }
  if (!parsed.value.is_object()) {
    return Route::Command;
  }
  auto op = parsed.value.find("op");
  if (op != parsed.value.end() && op->is_string() &&
      op->get_ref<const std::string&>() == "process") {
    return Route::Process;
  }
  return Route::Command;
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
  const std::string text = replyLine(reply);
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
