#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

template <class Json>
Status send(RequestPtr request, uint16_t status, const Json& body) {
  std::string bytes;
  bytes.reserve(128);
  try {
    // Strict: a string that is not UTF-8 fails the reply rather than being
    // sent malformed.
    bytes = body.dump(-1, ' ', false, nlohmann::detail::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    return Error("reply body cannot be serialised", Error(e.what()));
  }
  return request->respond(status, reply_headers(), std::move(bytes));
}

}  // namespace

const HeaderList& reply_headers() {
  static const HeaderList headers = {
      {"Content-Type", "application/json"},
      {"Access-Control-Allow-Origin", "*"},
      {"Access-Control-Allow-Headers", "content-type, authorization, x-wrenfield-destination"},
      {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
      {"Access-Control-Allow-Private-Network", "true"},
  };
  return headers;
}

Status send_json(RequestPtr request, uint16_t status, const nlohmann::ordered_json& body) {
  return send(std::move(request), status, body);
}

Status send_json(RequestPtr request, uint16_t status, const nlohmann::json& body) {
  return send(std::move(request), status, body);
}

Status send_ok(RequestPtr request) {
  return send_json(std::move(request), 200, nlohmann::ordered_json{{"ok", true}});
}

Status send_error(RequestPtr request, uint16_t status, const std::string& message) {
  return send_json(std::move(request), status, nlohmann::ordered_json{{"error", message}});
}

}  // namespace wf::bridge
