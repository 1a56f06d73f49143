#pragma once

#include <chrono>
#include <optional>

namespace wf::bridge {

/// The wait before the first restart of a publisher.
inline constexpr std::chrono::milliseconds RECONNECT_FIRST_WAIT{2000};
/// Each further wait is this factor longer than the one before ...
inline constexpr double RECONNECT_GROWTH = 1.5;
/// ... up to this.
inline constexpr std::chrono::milliseconds RECONNECT_MAX_WAIT{30000};
/// Failed restarts in a row after which the destination is given up.
inline constexpr int RECONNECT_MAX_ATTEMPTS = 25;
/// An attempt that has published this long counts as a success: the count
/// of failed attempts and the wait start over.
inline constexpr std::chrono::milliseconds RECONNECT_STABLE{30000};

/// When a destination's publisher is restarted after it ended, and when it
/// is given up. Pure: time is passed in.
///
/// The first child (the launch) is not an attempt. When it ends, restart
/// attempt 1 follows after RECONNECT_FIRST_WAIT; when attempt n fails,
/// attempt n+1 follows after RECONNECT_FIRST_WAIT * RECONNECT_GROWTH^n, at
/// most RECONNECT_MAX_WAIT; when attempt RECONNECT_MAX_ATTEMPTS fails, the
/// destination is given up. A child that published for RECONNECT_STABLE
/// ends as a launch does: the next restart is attempt 1 again.
class ReconnectSchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  /// A child started: the launch or a restart.
  void started(TimePoint now);
  /// The running child delivered bytes at `now`; the first call of an
  /// attempt marks when it began publishing.
  void publishing(TimePoint now);
  /// The running child ended at `now`. Returns when to start the next
  /// attempt, or nothing when the destination is given up.
  std::optional<TimePoint> ended(TimePoint now);

  /// Restarts so far (children started after the launch).
  int reconnects() const { return reconnects_; }
  /// Failed restart attempts in a row.
  int failures() const { return failures_; }
  /// When the next attempt is due while waiting for it; nothing while a
  /// child runs or after giving up.
  std::optional<TimePoint> due() const { return due_; }
  bool given_up() const { return given_up_; }

 private:
  int children_ = 0;
  int reconnects_ = 0;
  int failures_ = 0;
  bool restart_ = false;  // the running child is a restart attempt
  std::optional<TimePoint> publishing_since_;
  std::optional<TimePoint> due_;
  bool given_up_ = false;
};

}  // namespace wf::bridge
