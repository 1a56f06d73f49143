#pragma once

#include <condition_variable>
#include <mutex>

#include "channel/event_wait.h"

namespace wf::host {

/// A wait that records the time limit of every wait it is asked for. A wait
/// with a limit returns at once, as if the limit had passed (time belongs to
/// the test); a wait without one blocks until `wake` or until the test makes
/// one of `readyFds` ready with `makeReady`.
class FakeEventWait final : public EventWait {
 public:
  void wake() override;
  std::vector<int> wait(const std::vector<int>& fds,
                        std::optional<std::chrono::nanoseconds> timeout) override;

  /// Marks `fd` ready and ends a wait that includes it.
  void makeReady(int fd);

  struct Record {
    std::vector<int> fds;
    std::optional<std::chrono::nanoseconds> timeout;
  };
  /// Every wait so far, in order.
  std::vector<Record> records() const;
  /// How often `wake` has been called.
  int wakes() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool woken_ = false;
  int wakes_ = 0;
  std::vector<int> readyFds_;
  std::vector<Record> records_;
};

}  // namespace wf::host
