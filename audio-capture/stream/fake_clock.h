#pragma once

#include <functional>

#include "audio-capture/stream/clock.h"

namespace wf::capture {

/// A clock that only moves when slept on. `onSleep` runs after each sleep,
/// which lets a test script what happens between two passes of a loop.
class FakeClock : public Clock {
 public:
  TimePoint time{};
  std::function<void()> onSleep;
  std::chrono::microseconds slept{0};

  TimePoint now() override { return time; }
  void sleepFor(std::chrono::microseconds duration) override {
    time += duration;
    slept += duration;
    if (onSleep) {
      onSleep();
    }
  }
};

}  // namespace wf::capture
