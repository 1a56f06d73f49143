#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/core/route_context.h"
#include "bridge/devices/device_layer.h"
#include "bridge/metering/stream_slot.h"

namespace wf::bridge {

/// The body of POST /start. Every member is optional; null counts as absent.
struct StartRequest {
  std::optional<std::string> device_id;
  std::optional<uint16_t> channel_count;
  std::optional<uint32_t> sample_rate;
  bool stereo_only = false;
};

/// Parses a /start body: empty or whitespace-only text means every member
/// absent; unknown keys are ignored. Fails with "invalid start payload"
/// wrapping the parser's message.
Result<StartRequest> parse_start_request(std::string_view text);

/// Finds the device, chooses its configuration, records the new stream in
/// the state (meters at -70.0, `running` false), opens and plays the stream
/// with the capture and error callbacks, then sets `running`. The returned
/// stream holds the callbacks and, through them, a reference to `state`.
Result<InputStreamPtr> start_stream(DeviceLayer& layer, const StateHandle& state,
                                    const StartRequest& request);

/// POST /start: parses the body (a bad body leaves the playing stream
/// alone), releases the open stream, starts the new one and puts it into
/// the slot.
Status handle_start(RequestPtr request, RouteContext& context);

/// POST /stop: releases the stream and clears `running`, `meters` and
/// `channels`.
Status handle_stop(RequestPtr request, RouteContext& context);

/// GET /meters: the levels of the open input.
Status handle_meters(RequestPtr request, RouteContext& context);

}  // namespace wf::bridge
