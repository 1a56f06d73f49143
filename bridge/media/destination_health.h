#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace wf::bridge {

/// The state of one shared destination, as its status reports it.
enum class DestinationState {
  Connecting,    // its publisher started and has not delivered lately
  Live,          // its publisher runs and took bytes in the last HEALTH_WINDOW
  Reconnecting,  // waiting for the next restart
  Failed,        // given up, or its encoder failed
};

/// "connecting", "live", "reconnecting" or "failed".
std::string_view to_string(DestinationState state);

/// The window over which a destination counts as live and its bit rate is
/// measured.
inline constexpr std::chrono::milliseconds HEALTH_WINDOW{2000};

/// The live figures of one shared destination, from samples of its
/// publisher's byte count taken by the caller. Pure: time is passed in.
class DestinationHealth {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  /// A publisher started (the launch or a restart): "connecting".
  void started(TimePoint now);
  /// A sample: `total_bytes` taken by the destination's publishers so far,
  /// across restarts (never decreasing), at `now`.
  void sample(uint64_t total_bytes, TimePoint now);
  /// Its publisher ended and a restart is due: "reconnecting".
  void waiting();
  /// Given up, or its encoder failed: "failed" for good.
  void failed();

  /// The state at `now`: "live" while the publisher runs and took bytes in
  /// the HEALTH_WINDOW up to `now`, "connecting" while it runs otherwise.
  DestinationState state(TimePoint now) const;
  /// kbit/s taken over the HEALTH_WINDOW up to `now` (over the time since
  /// the first sample when that is shorter), rounded down; 0 without data.
  uint64_t bitrate_kbps(TimePoint now) const;

 private:
  struct Sample {
    TimePoint at;
    uint64_t bytes;
  };
  static constexpr size_t RING = 64;

  const Sample& at(size_t i) const { return ring_[(first_ + i) % RING]; }
  double bytes_at(TimePoint t) const;

  enum class Phase { Running, Waiting, Failed } phase_ = Phase::Running;
  std::optional<TimePoint> last_growth_;
  std::array<Sample, RING> ring_{};
  size_t first_ = 0;
  size_t count_ = 0;
};

}  // namespace wf::bridge
