#include "bridge/core/clock.h"

#include <thread>

namespace wf::bridge {

namespace {

class SteadyClock : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& steady_clock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace wf::bridge
