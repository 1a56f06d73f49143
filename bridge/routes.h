#pragma once

#include <span>

#include "bridge/core/route_context.h"

namespace wf::bridge {

/// The complete route table of the bridge.
std::span<const Route> route_table();

/// Handles one request against the complete route table.
Status handle_request(RequestPtr request, RouteContext& context);

}  // namespace wf::bridge
