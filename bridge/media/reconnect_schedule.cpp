#include "bridge/media/reconnect_schedule.h"

#include <algorithm>
#include <cmath>

namespace wf::bridge {

void ReconnectSchedule::started(TimePoint) {
  if (given_up_) {
    return;
  }
  restart_ = children_ > 0;
  if (restart_) {
    ++reconnects_;
  }
  ++children_;
  publishing_since_.reset();
  due_.reset();
}

void ReconnectSchedule::publishing(TimePoint now) {
  if (!publishing_since_) {
    publishing_since_ = now;
  }
}

std::optional<ReconnectSchedule::TimePoint> ReconnectSchedule::ended(TimePoint now) {
  if (given_up_) {
    return std::nullopt;
  }
  const bool stable = publishing_since_ && now - *publishing_since_ >= RECONNECT_STABLE;
  if (!restart_ || stable) {
    failures_ = 0;
  } else {
    ++failures_;
    if (failures_ >= RECONNECT_MAX_ATTEMPTS) {
      given_up_ = true;
      due_.reset();
      return std::nullopt;
    }
  }
  // The wait before attempt n + 1 after n failures: first * growth^n.
  const double wait_ms =
      std::min(static_cast<double>(RECONNECT_MAX_WAIT.count()),
               RECONNECT_FIRST_WAIT.count() * std::pow(RECONNECT_GROWTH, failures_));
  publishing_since_.reset();
  due_ = now + std::chrono::milliseconds(static_cast<int64_t>(wait_ms));
  return due_;
}

}  // namespace wf::bridge
