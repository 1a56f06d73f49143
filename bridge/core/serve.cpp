#include "bridge/core/serve.h"

#include <exception>

namespace wf::bridge {

Status dispatch_guarded(RequestPtr request, RouteContext& context, std::span<const Route> routes) {
  // A handler that throws (an allocation failure, a library's exception)
  // must cost its own request only: every other request and every running
  // encoder output lives in this process.
  try {
    return dispatch(std::move(request), context, routes);
  } catch (const std::exception& e) {
    return Error(e.what());
  } catch (...) {
    return Error("unknown exception");
  }
}

void serve(const NextRequest& next, RouteContext& context, std::span<const Route> routes,
           std::ostream& errors) {
  while (RequestPtr request = next()) {
    if (Status s = dispatch_guarded(std::move(request), context, routes); !s) {
      errors << "request failed: " << s.error().chain() << std::endl;
    }
  }
}

}  // namespace wf::bridge
