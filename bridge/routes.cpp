#include "bridge/routes.h"

#include "bridge/core/health.h"

namespace wf::bridge {

namespace {

// Exactly these methods and paths reach a handler; everything else but
// OPTIONS is 404.
const Route ROUTES[] = {
    {"GET", "/health", handle_health},
};

}  // namespace

std::span<const Route> route_table() { return ROUTES; }

Status handle_request(RequestPtr request, RouteContext& context) {
  return dispatch(std::move(request), context, route_table());
}

}  // namespace wf::bridge
