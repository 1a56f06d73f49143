#include "audio-capture/platform/pulse_connection.h"

#include <pthread.h>

#include <csignal>

namespace wf::capture {

namespace {

constexpr ObjectId FIRST_DEVICE = kAudioObjectSystemObject + 1;

SourceInfo toInfo(const pa_source_info& source) {
  SourceInfo info;
  info.index = source.index;
  info.name = source.name ? source.name : "";
  info.description = source.description ? source.description : "";
  info.spec = source.sample_spec;
  info.map = source.channel_map;
  return info;
}

struct ListQuery {
  pa_threaded_mainloop* loop;
  std::vector<SourceInfo> sources;
  bool ok = false;
};

struct OneQuery {
  pa_threaded_mainloop* loop;
  SourceInfo info;
  bool found = false;
  bool done = false;
  int error = 0;
};

}  // namespace

PulseConnection::~PulseConnection() {
  if (loop_) {
    pa_threaded_mainloop_stop(loop_);
  }
  if (context_) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_) {
    pa_threaded_mainloop_free(loop_);
  }
}

bool PulseConnection::ready() {
  if (!attempted_) {
    attempted_ = true;
    if (!connect()) {
      return false;
    }
  }
  if (!context_) {
    return false;
  }
  PulseLock lock(loop_);
  return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::connect() {
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) {
    return false;
  }
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "audio-capture");
  if (!context_) {
    return false;
  }
  pa_context_set_state_callback(
      context_,
      [](pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
      },
      loop_);
  // The stop signals must reach the main thread, where they interrupt a
  // blocking write; the server thread inherits a mask that keeps them out.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  int started = pa_threaded_mainloop_start(loop_);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started != 0) {
    pa_context_unref(context_);
    context_ = nullptr;
    return false;
  }
  PulseLock lock(loop_);
  // Never start a server of our own: without one there are no devices.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return false;
  }
  for (;;) {
    pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) {
      return true;
    }
    if (!PA_CONTEXT_IS_GOOD(state)) {
      return false;
    }
    pa_threaded_mainloop_wait(loop_);
  }
}

void PulseConnection::await(pa_operation* operation) {
  if (!operation) {
    return;
  }
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
         PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    pa_threaded_mainloop_wait(loop_);
  }
  pa_operation_unref(operation);
}

std::optional<std::vector<SourceInfo>> PulseConnection::sources() {
  if (!ready()) {
    return std::nullopt;
  }
  ListQuery query{loop_, {}, false};
  PulseLock lock(loop_);
  await(pa_context_get_source_info_list(
      context_,
      [](pa_context*, const pa_source_info* source, int eol, void* user) {
        auto& q = *static_cast<ListQuery*>(user);
        if (eol > 0) {
          q.ok = true;
        } else if (eol == 0 && source) {
          q.sources.push_back(toInfo(*source));
          return;
        }
        pa_threaded_mainloop_signal(q.loop, 0);
      },
      &query));
  if (!query.ok) {
    return std::nullopt;
  }
  return std::move(query.sources);
}

PulseConnection::Lookup PulseConnection::source(uint32_t index, SourceInfo& info) {
  if (!ready()) {
    return Lookup::failed;
  }
  OneQuery query{loop_, {}, false, false, 0};
  PulseLock lock(loop_);
  await(pa_context_get_source_info_by_index(
      context_, index,
      [](pa_context* context, const pa_source_info* source, int eol, void* user) {
        auto& q = *static_cast<OneQuery*>(user);
        if (eol == 0 && source) {
          q.info = toInfo(*source);
          q.found = true;
          return;
        }
        if (eol < 0) {
          q.error = pa_context_errno(context);
        }
        q.done = true;
        pa_threaded_mainloop_signal(q.loop, 0);
      },
      &query));
  if (query.found) {
    info = std::move(query.info);
    return Lookup::found;
  }
  return query.done && query.error == PA_ERR_NOENTITY ? Lookup::missing : Lookup::failed;
}

std::optional<ObjectId> PulseConnection::objectOf(uint32_t index) {
  if (index == PA_INVALID_INDEX || index > UINT32_MAX - FIRST_DEVICE) {
    return std::nullopt;
  }
  return index + FIRST_DEVICE;
}

std::optional<uint32_t> PulseConnection::indexOf(ObjectId object) {
  if (object < FIRST_DEVICE) {
    return std::nullopt;
  }
  return object - FIRST_DEVICE;
}

}  // namespace wf::capture
