#pragma once

#include "bridge/core/route_context.h"

namespace wf::bridge {

/// POST /encoder/start: replaces every running output with one per
/// destination of the payload; the new children start before the old ones
/// are stopped. 200 {"ok":true,"outputs":[names]}; 400 "Invalid encoder
/// settings"; 503 with the launch failure's text.
Status handle_encoder_start(RequestPtr request, RouteContext& context);

/// POST /encoder/output/start: starts the payload's one destination, which
/// must carry a valid "id", and replaces a running output with that ID; the
/// new output goes last. 200 {"ok":true}; 400 "Invalid destination
/// settings" or "One destination with a stable ID is required"; 503 with
/// the launch failure's text.
Status handle_encoder_output_start(RequestPtr request, RouteContext& context);

/// POST /encoder/chunk: writes the body into every output, or into the one
/// named by the "X-Wrenfield-Destination" header. 200 {"ok":true}; 502 when
/// the write failed.
Status handle_encoder_chunk(RequestPtr request, RouteContext& context);

/// GET /encoder/status: every output's process, byte count, exit code and
/// redacted log tail.
Status handle_encoder_status(RequestPtr request, RouteContext& context);

/// POST /encoder/stop: stops every output. Always 200 {"ok":true}.
Status handle_encoder_stop(RequestPtr request, RouteContext& context);

/// POST /encoder/output/stop: stops the output named by the body's "id".
/// 200 {"ok":true}, also when none runs; 400 "Destination ID required".
Status handle_encoder_output_stop(RequestPtr request, RouteContext& context);

}  // namespace wf::bridge
