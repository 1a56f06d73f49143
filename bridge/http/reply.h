#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "bridge/http/error.h"
#include "bridge/http/request.h"

namespace wf::bridge {

/// The five headers on every designed reply, in order.
const HeaderList& reply_headers();

/// Sends one designed reply: `status`, the five reply headers and `body` as
/// compact JSON. Reply records are built as `ordered_json` (members in the
/// record's order); generic objects as `json` (keys ascending). Fails when the
/// body cannot be serialised (the request is then given up) or with the
/// write failure's text.
Status send_json(RequestPtr request, uint16_t status, const nlohmann::ordered_json& body);
Status send_json(RequestPtr request, uint16_t status, const nlohmann::json& body);

/// `{"ok":true}` with status 200.
Status send_ok(RequestPtr request);
/// `{"error":message}` with the given status.
Status send_error(RequestPtr request, uint16_t status, const std::string& message);

}  // namespace wf::bridge
