#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "bridge/core/bridge_state.h"
#include "bridge/http/error.h"
#include "bridge/http/request.h"

namespace wf::bridge {

class ChildLauncher;  // starts encoder children (bridge/encoder/child.h)
class DeviceLayer;    // the audio device layer (bridge/devices/device_layer.h)
class StreamSlot;     // the one open input stream (bridge/metering)
class EncoderList;    // the running encoder processes (bridge/encoder)
struct AccessPolicy;  // who may use the bridge (bridge/core/access.h)

/// What the dispatch loop lends to each request: a reference to the shared
/// state, the stream slot and the encoder list (touched by the dispatch
/// thread only), and the platform services the handlers use.
struct RouteContext {
  StateHandle state;
  StreamSlot* stream = nullptr;
  EncoderList* encoders = nullptr;
  DeviceLayer* devices = nullptr;
  /// Checked before anything else; null or open: everyone is answered.
  const AccessPolicy* access = nullptr;
  /// Starts the encoder children; null means real processes.
  ChildLauncher* launcher = nullptr;
  /// The encoder readiness that /health reports; empty means the
  /// process-wide probe of the encoder program.
  std::function<bool()> encoder_ready = nullptr;
};

using Handler = Status (*)(RequestPtr request, RouteContext& context);

/// One row of the route table: exact method and exact path.
struct Route {
  std::string_view method;
  std::string_view path;
  Handler handler;
};

/// Handles one request against a route table. A request that the access
/// policy turns away gets its 403 or 401 and goes no further. Then OPTIONS on
/// any path is 204;
/// a (method, path) pair not in the table is 404 {"error":"Not found"};
/// otherwise the route's handler runs and its result is returned. The path is
/// the target up to the first "?", compared byte for byte.
Status dispatch(RequestPtr request, RouteContext& context, std::span<const Route> routes);

}  // namespace wf::bridge
