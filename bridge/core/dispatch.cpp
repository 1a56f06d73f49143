#include "bridge/core/access.h"
#include "bridge/core/route_context.h"
#include "bridge/http/reply.h"

namespace wf::bridge {

Status dispatch(RequestPtr request, RouteContext& context, std::span<const Route> routes) {
  if (context.access && !context.access->open()) {
    AccessCheck check = check_access(*request, *context.access);
    if (check.reply_origin) {
      request = reply_to_origin(std::move(request), check);
    }
    if (!check.passed()) {
      return send_error(std::move(request), check.status, std::string(check.message));
    }
  }
  const std::string method = request->method();
  const std::string path(request->path());
  if (method == "OPTIONS") {
    // The facility transmits no body for 204.
    return send_json(std::move(request), 204, nlohmann::json::object());
  }
  for (const Route& route : routes) {
    if (route.method == method && route.path == path) {
      return route.handler(std::move(request), context);
    }
  }
  return send_error(std::move(request), 404, "Not found");
}

}  // namespace wf::bridge
