#include <pulse/pulseaudio.h>

#include <chrono>

#include "bridge/core/device_layer_server.h"

namespace wf::bridge {

namespace {

struct ServerQuery {
  bool done = false;
  bool connected = false;
  bool has_default_sink = false;
  bool has_default_source = false;
};

void on_server_info(pa_context*, const pa_server_info* info, void* user) {
  auto* q = static_cast<ServerQuery*>(user);
  if (info) {
    q->has_default_sink = info->default_sink_name && *info->default_sink_name;
    q->has_default_source = info->default_source_name && *info->default_source_name;
  }
  q->done = true;
}

void on_state(pa_context* context, void* user) {
  auto* q = static_cast<ServerQuery*>(user);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      q->connected = true;
      pa_operation_unref(pa_context_get_server_info(context, on_server_info, q));
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      q->done = true;
      break;
    default:
      break;
  }
}

}  // namespace

Status check_sound_server() {
  pa_mainloop* loop = pa_mainloop_new();
  if (!loop) {
    return {};
  }
  ServerQuery query;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Wrenfield Audio Bridge");
  if (context) {
    pa_context_set_state_callback(context, on_state, &query);
    // No autospawn: a missing server is the library's business, not ours.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      // A server that accepts the connection but never answers must not
      // hold up the dispatch thread for long.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (!query.done && std::chrono::steady_clock::now() < deadline) {
        if (pa_mainloop_prepare(loop, 50000) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
          break;
        }
      }
      pa_context_disconnect(context);
    }
    pa_context_unref(context);
  }
  pa_mainloop_free(loop);
  if (query.connected && !(query.has_default_sink && query.has_default_source)) {
    return Error("the sound server has no default output or input device");
  }
  return {};
}

}  // namespace wf::bridge
