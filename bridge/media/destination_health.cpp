#include "bridge/media/destination_health.h"

#include <algorithm>
#include <cmath>

namespace wf::bridge {

std::string_view to_string(DestinationState state) {
  switch (state) {
    case DestinationState::Connecting:
      return "connecting";
    case DestinationState::Live:
      return "live";
    case DestinationState::Reconnecting:
      return "reconnecting";
    case DestinationState::Failed:
      return "failed";
  }
  return "failed";
}

void DestinationHealth::started(TimePoint) {
  if (phase_ != Phase::Failed) {
    phase_ = Phase::Running;
    last_growth_.reset();
  }
}

void DestinationHealth::sample(uint64_t total_bytes, TimePoint now) {
  if (count_ > 0) {
    const Sample& last = at(count_ - 1);
    if (now < last.at) {
      return;  // samples go forward in time
    }
    if (total_bytes > last.bytes) {
      last_growth_ = now;
    }
  }
  if (count_ == RING) {
    first_ = (first_ + 1) % RING;
    --count_;
  }
  ring_[(first_ + count_) % RING] = Sample{now, total_bytes};
  ++count_;
}

void DestinationHealth::waiting() {
  if (phase_ != Phase::Failed) {
    phase_ = Phase::Waiting;
  }
}

void DestinationHealth::failed() {
  phase_ = Phase::Failed;
}

DestinationState DestinationHealth::state(TimePoint now) const {
  switch (phase_) {
    case Phase::Failed:
      return DestinationState::Failed;
    case Phase::Waiting:
      return DestinationState::Reconnecting;
    case Phase::Running:
      break;
  }
  if (last_growth_ && now - *last_growth_ <= HEALTH_WINDOW) {
    return DestinationState::Live;
  }
  return DestinationState::Connecting;
}

// The byte count at `t`, taken linearly between the samples around it; the
// first sample's count before it, the last one's after it.
double DestinationHealth::bytes_at(TimePoint t) const {
  if (t <= at(0).at) {
    return static_cast<double>(at(0).bytes);
  }
  for (size_t i = 1; i < count_; ++i) {
    const Sample& b = at(i);
    if (t <= b.at) {
      const Sample& a = at(i - 1);
      const double span = std::chrono::duration<double>(b.at - a.at).count();
      const double part = std::chrono::duration<double>(t - a.at).count();
      return static_cast<double>(a.bytes) +
             (static_cast<double>(b.bytes) - static_cast<double>(a.bytes)) * (part / span);
    }
  }
  return static_cast<double>(at(count_ - 1).bytes);
}

uint64_t DestinationHealth::bitrate_kbps(TimePoint now) const {
  if (count_ < 2) {
    return 0;
  }
  const TimePoint from = std::max(now - HEALTH_WINDOW, at(0).at);
  const double seconds = std::chrono::duration<double>(now - from).count();
  if (seconds <= 0) {
    return 0;
  }
  const double bits = (bytes_at(now) - bytes_at(from)) * 8;
  return static_cast<uint64_t>(std::floor(bits / seconds / 1000));
}

}  // namespace wf::bridge
