#pragma once

#include <functional>
#include <ostream>
#include <span>

#include "bridge/core/route_context.h"

namespace wf::bridge {

/// Blocks for the next request; null once the request sequence has ended.
using NextRequest = std::function<RequestPtr()>;

/// Handles one request against `routes` like `dispatch`, and turns an
/// exception that escapes a handler into an ordinary failure carrying the
/// exception's text. The request is given up on the way out (the facility
/// answers it with an empty 500), and a state lock the handler held while
/// the exception passed stays poisoned, so no later request reads a record
/// that was left half written.
Status dispatch_guarded(RequestPtr request, RouteContext& context, std::span<const Route> routes);

/// The dispatch loop: takes requests from `next` one at a time until it
/// yields null and handles each with `dispatch_guarded`. A failed request
/// writes "request failed: " and its error chain to `errors`; the loop
/// then goes on with the next request.
void serve(const NextRequest& next, RouteContext& context, std::span<const Route> routes,
           std::ostream& errors);

}  // namespace wf::bridge
