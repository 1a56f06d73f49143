#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
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

/// One connection to the sound server: a threaded main loop and a context,
/// made on first use and shared by the property reads and the input units.
/// Queries block the caller until the server answers or the connection fails.
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
  /// One source by its server index.
  Lookup source(uint32_t index, SourceInfo& info);

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  /// Device object ids are the server's source indices moved past the system
  /// object; indices too large for that are not offered.
  static std::optional<ObjectId> objectOf(uint32_t index);
  static std::optional<uint32_t> indexOf(ObjectId object);

 private:
  bool connect();
  /// Waits (main loop locked) until `operation` is done or the context fails.
  void await(pa_operation* operation);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool attempted_ = false;
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
