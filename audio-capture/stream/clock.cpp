#include "audio-capture/stream/clock.h"

#include <thread>

namespace wf::capture {

namespace {

class SteadyClock : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void sleepFor(std::chrono::microseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& steadyClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace wf::capture
