#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio-capture/platform/properties.h"

namespace wf::capture {

/// What the sound server says about one source.
struct SourceInfo {
  uint32_t index = 0;
  std::string name;
  std::string description;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

/// How long any one wait on the sound server may take: connecting, a
/// listing, a source lookup, opening a recording, and the age of an
/// unanswered question about the watched source.
constexpr auto SERVER_DEADLINE = std::chrono::seconds(3);

/// One connection to the sound server: a threaded main loop and a context,
/// made on first use and shared by the property reads and the input units.
/// Queries block the caller until the server answers, the connection fails
/// or `SERVER_DEADLINE` passes. A server that misses a deadline has stopped
/// answering (it was stopped, or it is deadlocked): the connection is then
/// stalled for good and every later query fails at once, so that the
/// program as a whole never waits much longer than one deadline.
class PulseConnection {
 public:
  PulseConnection() = default;
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  ~PulseConnection();

  /// Connects if not yet connected; true while the context is ready.
  bool ready();

  /// Every source, in the server's order; nullopt when the server cannot be
  /// asked.
  std::optional<std::vector<SourceInfo>> sources();

  enum class Lookup { found, missing, failed };
  /// One source by its server index. The watched source is answered from
  /// the watch without waiting.
  Lookup source(uint32_t index, SourceInfo& info);

  /// True once a wait on the server missed its deadline.
  bool stalled();

  /// Keeps asking the server about source `info.index` from the loop's own
  /// thread, so that `source` can answer for it at once: with the last
  /// answer, or `failed` once a question has gone unanswered for longer
  /// than the deadline. `info` is what is known now. Main loop locked.
  void watch(const SourceInfo& info);
  /// Ends the watch. Main loop locked.
  void unwatch();

  /// With the main loop locked: waits until `done` holds, the context fails
  /// or `deadline` passes; true when `done` holds. Missing the deadline
  /// stalls the connection. Callbacks that change what `done` looks at
  /// signal the loop.
  bool waitUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  /// Device object ids are the server's source indices moved past the system
  /// object; indices too large for that are not offered.
  static std::optional<ObjectId> objectOf(uint32_t index);
  static std::optional<uint32_t> indexOf(ObjectId object);

 private:
  bool connect();
  /// Waits (main loop locked) until `operation` is done, the context fails
  /// or the deadline passes, then lets the operation go.
  void await(pa_operation* operation);
  static void onWatchTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                          void* self);
  static void onWatchAnswer(pa_context* context, const pa_source_info* source, int eol, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool attempted_ = false;
  // The rest is guarded by the main-loop lock.
  bool stalled_ = false;
  pa_time_event* watchTick_ = nullptr;
  pa_operation* watchQuestion_ = nullptr;
  uint64_t watchAskedAt_ = 0;  // pa_rtclock_now() of the open question
  SourceInfo watched_;
  Lookup watchedLookup_ = Lookup::failed;
  bool watchedSeen_ = false;  // the answer in progress has listed the source
};

/// Locks the main loop for a scope.
class PulseLock {
 public:
  explicit PulseLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace wf::capture
