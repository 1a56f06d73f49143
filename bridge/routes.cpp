#include "bridge/routes.h"

#include "bridge/devices/devices.h"
#include "bridge/encoder/handlers.h"
#include "bridge/health.h"
#include "bridge/metering/metering.h"

namespace wf::bridge {

namespace {

// Exactly these methods and paths reach a handler; everything else but
// OPTIONS is 404.
const Route ROUTES[] = {
    {"GET", "/health", handle_health},
    {"GET", "/devices", handle_devices},
    {"GET", "/meters", handle_meters},
    {"POST", "/start", handle_start},
    {"POST", "/stop", handle_stop},
    {"GET", "/encoder/status", handle_encoder_status},
    {"POST", "/encoder/start", handle_encoder_start},
    {"POST", "/encoder/stop", handle_encoder_stop},
    {"POST", "/encoder/chunk", handle_encoder_chunk},
    {"POST", "/encoder/output/start", handle_encoder_output_start},
    {"POST", "/encoder/output/stop", handle_encoder_output_stop},
};

}  // namespace

std::span<const Route> route_table() {
  return ROUTES;
}

Status handle_request(RequestPtr request, RouteContext& context) {
  return dispatch(std::move(request), context, route_table());
}

}  // namespace wf::bridge
