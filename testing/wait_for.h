#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace wf::testing {

/// Polls `predicate` until it holds or `timeout` has passed, and says which.
/// On giving up it records a test failure naming `what` (what the test was
/// waiting for) and how long it waited, so a time-out on a loaded machine
/// reads as a sentence rather than as a later, unrelated assertion. The poll
/// interval starts at 1 ms and grows to 50 ms, which keeps short waits quick
/// without spinning through long ones.
inline bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                    const std::string& what) {
  const auto start = std::chrono::steady_clock::now();
  auto interval = std::chrono::milliseconds(1);
  while (true) {
    if (predicate()) {
      return true;
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    if (waited >= timeout) {
      ADD_FAILURE() << "gave up waiting for " << what << " after "
                    << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
                    << " ms";
      return false;
    }
    std::this_thread::sleep_for(interval);
    interval = std::min(interval * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace wf::testing
