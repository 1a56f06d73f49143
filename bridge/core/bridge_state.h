#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

/// One channel's latest levels, in dBFS from -70.0 to 6.0.
struct ChannelMeter {
  uint64_t channel = 0;
  float peak = -70.0f;
  float rms = -70.0f;
};

/// The state of the one metered input stream. Guarded by `SharedState`.
struct BridgeState {
  bool running = false;
  std::optional<std::string> active_device_id;
  uint32_t sample_rate = 48000;
  uint16_t channels = 0;
  std::vector<ChannelMeter> meters;
  std::chrono::steady_clock::time_point updated_at = std::chrono::steady_clock::now();
};

/// `BridgeState` behind one mutex that is marked poisoned when a holder
/// fails (throws) while holding it; every later `lock` then fails.
class SharedState {
 public:
  /// Exclusive access; marks the state poisoned if destroyed during
  /// unwinding from an exception.
  class Guard {
   public:
    explicit Guard(SharedState& owner)
        : owner_(&owner), lock_(owner.mutex_), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept = default;
    ~Guard() {
      if (owner_ && lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) {
        owner_->poisoned_ = true;
      }
    }
    BridgeState& operator*() { return owner_->state_; }
    BridgeState* operator->() { return &owner_->state_; }

   private:
    SharedState* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  SharedState() = default;
  explicit SharedState(BridgeState initial) : state_(std::move(initial)) {}

  /// Takes the mutex; "state lock poisoned" when a holder failed earlier.
  Result<Guard> lock() {
    Guard g(*this);
    if (poisoned_) {
      return Error("state lock poisoned");
    }
    return g;
  }

  /// Takes the mutex whether or not it is poisoned, to look at what a
  /// failed holder left behind. Request handlers and callbacks use `lock`.
  Guard lock_ignoring_poison() { return Guard(*this); }

  /// A copy of the state taken under the mutex, so a reader can build and
  /// send its reply without holding up the capture callback; "state lock
  /// poisoned" as for `lock`.
  Result<BridgeState> snapshot() {
    auto guard = lock();
    if (!guard) {
      return guard.error();
    }
    return **guard;
  }
  /// Marks the lock poisoned (what a failing holder does).
  void poison() {
    std::lock_guard<std::mutex> l(mutex_);
    poisoned_ = true;
  }

 private:
  friend class Guard;
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  BridgeState state_;
};

/// The shared, reference-counted handle `state`.
using StateHandle = std::shared_ptr<SharedState>;

}  // namespace wf::bridge
