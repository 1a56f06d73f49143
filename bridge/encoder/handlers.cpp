#include "bridge/encoder/handlers.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/feed.h"
#include "bridge/encoder/payload.h"
#include "bridge/encoder/shared_engine.h"
#include "bridge/encoder/status.h"
#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

const char* const FEED_STOPPED =
    "Encoder stopped accepting the program feed. Check FFmpeg installation, destination key and "
    "network connection.";

// Takes the first output with `id` out of the list, the others keeping
// their order.
std::vector<EncoderProcess> take_output(std::vector<EncoderProcess>& list, std::string_view id) {
  std::vector<EncoderProcess> taken;
  auto it = std::find_if(list.begin(), list.end(), [&](auto& p) { return p.id == id; });
  if (it != list.end()) {
    taken.push_back(std::move(*it));
    list.erase(it);
  }
  return taken;
}

ChildLauncher& launcher_of(RouteContext& context) {
  return context.launcher ? *context.launcher : process_launcher();
}

}  // namespace

Status handle_encoder_start(RequestPtr request, RouteContext& context) {
  auto text = request->take_body_text();
  if (!text) {
    return text.error();
  }
  auto payload = parse_encoder_start_request(*text);
  if (!payload) {
    return send_error(std::move(request), 400, "Invalid encoder settings");
  }
  auto started = payload->shared_encoding
                     ? context.encoders->shared().start(*payload, launcher_of(context), false)
                     : start_encoder(*payload, launcher_of(context));
  if (!started) {
    return send_error(std::move(request), 503, started.error().message());
  }
  std::vector<EncoderProcess>& current = context.encoders->processes();
  stop_encoder(current);
  current = std::move(*started);

  nlohmann::json names = nlohmann::json::array();
  for (const EncoderProcess& p : current) {
    names.push_back(p.name);
  }
  return send_json(std::move(request), 200, nlohmann::json{{"ok", true}, {"outputs", names}});
}

Status handle_encoder_output_start(RequestPtr request, RouteContext& context) {
  auto text = request->take_body_text();
  if (!text) {
    return text.error();
  }
  auto payload = parse_encoder_start_request(*text);
  if (!payload) {
    return send_error(std::move(request), 400, "Invalid destination settings");
  }
  if (payload->outputs.size() != 1 || !payload->outputs[0].id ||
      !valid_output_id(*payload->outputs[0].id)) {
    return send_error(std::move(request), 400, "One destination with a stable ID is required");
  }
  // A shared destination joins a running encoding child of its rendition
  // when there is one.
  auto started = payload->shared_encoding
                     ? context.encoders->shared().start(*payload, launcher_of(context), true)
                     : start_encoder(*payload, launcher_of(context));
  if (!started) {
    return send_error(std::move(request), 503, started.error().message());
  }
  std::vector<EncoderProcess>& current = context.encoders->processes();
  for (EncoderProcess& p : *started) {
    std::vector<EncoderProcess> replaced = take_output(current, p.id);
    stop_encoder(replaced);
    current.push_back(std::move(p));
  }
  return send_ok(std::move(request));
}

Status handle_encoder_chunk(RequestPtr request, RouteContext& context) {
  std::optional<std::string> target;
  if (auto header = request->header("X-Wrenfield-Destination")) {
    target = std::string(*header);
  }
  // Held once; every output's writer shares it until its bytes are in.
  const SharedChunk chunk = std::make_shared<const std::string>(request->take_body());
  if (!write_encoder_chunk_target(*context.encoders, chunk, target)) {
    return send_error(std::move(request), 502, FEED_STOPPED);
  }
  return send_ok(std::move(request));
}

Status handle_encoder_status(RequestPtr request, RouteContext& context) {
  return send_json(std::move(request), 200, encoder_status(*context.encoders));
}

Status handle_encoder_stop(RequestPtr request, RouteContext& context) {
  stop_encoder(context.encoders->processes());
  return send_ok(std::move(request));
}

Status handle_encoder_output_stop(RequestPtr request, RouteContext& context) {
  auto text = request->take_body_text();
  if (!text) {
    return text.error();
  }
  const auto body = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  std::optional<std::string> id;
  if (body.is_object()) {
    if (auto it = body.find("id"); it != body.end() && it->is_string()) {
      id = it->get<std::string>();
    }
  }
  if (!id || !valid_output_id(*id)) {
    return send_error(std::move(request), 400, "Destination ID required");
  }
  std::vector<EncoderProcess> taken = take_output(context.encoders->processes(), *id);
  stop_encoder(taken);
  return send_ok(std::move(request));
}

}  // namespace wf::bridge
