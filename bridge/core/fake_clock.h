#pragma once

#include <atomic>
#include <functional>

#include "bridge/core/clock.h"

namespace wf::bridge {

/// A clock that only moves when slept on or advanced by the test. `on_sleep`
/// runs after each sleep, which lets a test script what happens between two
/// passes of a loop. The time may be read from any thread.
class FakeClock : public Clock {
 public:
  std::function<void()> on_sleep;
  std::atomic<int> sleeps{0};

  TimePoint now() override { return time_.load(); }
  void sleep_for(std::chrono::milliseconds duration) override {
    advance(duration);
    ++sleeps;
    if (on_sleep) {
      on_sleep();
    }
  }
  void advance(std::chrono::milliseconds duration) {
    TimePoint t = time_.load();
    while (!time_.compare_exchange_weak(t, t + duration)) {
    }
  }
  /// Time passed since the clock was made.
  std::chrono::milliseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time_.load() - TimePoint{});
  }

 private:
  std::atomic<TimePoint> time_{TimePoint{}};
};

}  // namespace wf::bridge
