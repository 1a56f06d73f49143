#pragma once

#include "bridge/core/route_context.h"

namespace wf::bridge {

/// GET /health: service, encoder readiness and input-stream state.
Status handle_health(RequestPtr request, RouteContext& context);

}  // namespace wf::bridge
