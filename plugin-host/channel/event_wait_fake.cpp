#include "channel/event_wait_fake.h"

#include <algorithm>

namespace wf::host {

void FakeEventWait::wake() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
    ++wakes_;
  }
  changed_.notify_all();
}

std::vector<int> FakeEventWait::wait(const std::vector<int>& fds,
                                     std::optional<std::chrono::nanoseconds> timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  records_.push_back({fds, timeout});
  changed_.notify_all();
  auto readyAmong = [&] {
    std::vector<int> ready;
    for (int fd : fds) {
      if (std::find(readyFds_.begin(), readyFds_.end(), fd) != readyFds_.end()) {
        ready.push_back(fd);
      }
    }
    return ready;
  };
  if (!timeout) {
    changed_.wait(hold, [&] { return woken_ || !readyAmong().empty(); });
  }
  woken_ = false;
  auto ready = readyAmong();
  for (int fd : ready) {
    std::erase(readyFds_, fd);
  }
  return ready;
}

void FakeEventWait::makeReady(int fd) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    readyFds_.push_back(fd);
  }
  changed_.notify_all();
}

std::vector<FakeEventWait::Record> FakeEventWait::records() const {
  std::lock_guard<std::mutex> hold(lock_);
  return records_;
}

}  // namespace wf::host

namespace wf::host {

int FakeEventWait::wakes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return wakes_;
}

}  // namespace wf::host
