#include "audio-capture/platform/pulse_connection.h"

#include <pthread.h>
#include <pulse/rtclock.h>

#include <csignal>

namespace wf::capture {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr ObjectId FIRST_DEVICE = kAudioObjectSystemObject + 1;
// How often the watched source is asked about.
constexpr pa_usec_t WATCH_INTERVAL_USEC = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t DEADLINE_USEC =
    std::chrono::duration_cast<std::chrono::microseconds>(SERVER_DEADLINE).count();

void wake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

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
    {
      PulseLock lock(loop_);
      unwatch();
    }
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
  return !stalled_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::stalled() {
  if (!loop_) {
    return false;
  }
  PulseLock lock(loop_);
  return stalled_;
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
  const auto deadline = SteadyClock::now() + SERVER_DEADLINE;
  PulseLock lock(loop_);
  // Never start a server of our own: without one there are no devices.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return false;
  }
  return waitUntil([&] { return pa_context_get_state(context_) == PA_CONTEXT_READY; }, deadline);
}

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                SteadyClock::time_point deadline) {
  // The loop only wakes for the server; a timer of our own wakes it at the
  // deadline when the server says nothing.
  pa_time_event* alarm = nullptr;
  bool result = true;
  while (!done()) {
    const auto left = deadline - SteadyClock::now();
    if (stalled_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
      result = false;
      break;
    }
    if (left <= SteadyClock::duration::zero()) {
      stalled_ = true;
      result = false;
      break;
    }
    const pa_usec_t at =
        pa_rtclock_now() +
        static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(left).count() +
                               1);
    if (!alarm) {
      alarm = pa_context_rttime_new(context_, at, wake, loop_);
    } else {
      pa_context_rttime_restart(context_, alarm, at);
    }
    pa_threaded_mainloop_wait(loop_);
  }
  if (alarm) {
    pa_threaded_mainloop_get_api(loop_)->time_free(alarm);
  }
  return result;
}

void PulseConnection::await(pa_operation* operation) {
  if (!operation) {
    return;
  }
  waitUntil([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
            SteadyClock::now() + SERVER_DEADLINE);
  // A late answer must not reach a query that has gone.
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_operation_cancel(operation);
  }
  pa_operation_unref(operation);
}

void PulseConnection::watch(const SourceInfo& info) {
  unwatch();
  watched_ = info;
  watchedLookup_ = Lookup::found;
  watchTick_ = pa_context_rttime_new(context_, pa_rtclock_now() + WATCH_INTERVAL_USEC,
                                     &PulseConnection::onWatchTick, this);
}

void PulseConnection::unwatch() {
  if (watchTick_) {
    pa_threaded_mainloop_get_api(loop_)->time_free(watchTick_);
    watchTick_ = nullptr;
  }
  if (watchQuestion_) {
    pa_operation_cancel(watchQuestion_);
    pa_operation_unref(watchQuestion_);
    watchQuestion_ = nullptr;
  }
}

void PulseConnection::onWatchTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                  void* self) {
  auto& c = *static_cast<PulseConnection*>(self);
  // One question at a time: an unanswered one is what `source` looks at.
  if (!c.watchQuestion_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(c.context_))) {
    c.watchedSeen_ = false;
    c.watchQuestion_ = pa_context_get_source_info_by_index(c.context_, c.watched_.index,
                                                           &PulseConnection::onWatchAnswer, &c);
    c.watchAskedAt_ = pa_rtclock_now();
  }
  pa_context_rttime_restart(c.context_, event, pa_rtclock_now() + WATCH_INTERVAL_USEC);
}

void PulseConnection::onWatchAnswer(pa_context* context, const pa_source_info* source, int eol,
                                    void* self) {
  auto& c = *static_cast<PulseConnection*>(self);
  if (eol == 0 && source) {
    c.watched_ = toInfo(*source);
    c.watchedSeen_ = true;
    return;
  }
  if (c.watchedSeen_) {
    c.watchedLookup_ = Lookup::found;
  } else if (eol < 0 && pa_context_errno(context) == PA_ERR_NOENTITY) {
    c.watchedLookup_ = Lookup::missing;
  } else {
    c.watchedLookup_ = Lookup::failed;
  }
  if (c.watchQuestion_) {
    pa_operation_unref(c.watchQuestion_);
    c.watchQuestion_ = nullptr;
  }
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
  PulseLock lock(loop_);
  if (watchTick_ && index == watched_.index) {
    if (watchQuestion_ && pa_rtclock_now() - watchAskedAt_ > DEADLINE_USEC) {
      stalled_ = true;
      return Lookup::failed;
    }
    if (watchedLookup_ == Lookup::found) {
      info = watched_;
    }
    return watchedLookup_;
  }
  OneQuery query{loop_, {}, false, false, 0};
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
