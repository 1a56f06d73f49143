#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "channel/event_wait.h"

namespace wf::host {

namespace {

// An eventfd carries wake-ups: a write makes it readable until the waiter
// reads the count back, so a wake-up that lands before ppoll is not lost.
class LinuxEventWait final : public EventWait {
 public:
  explicit LinuxEventWait(int wakeFd) : wakeFd_(wakeFd) {}
  ~LinuxEventWait() override { ::close(wakeFd_); }
  LinuxEventWait(const LinuxEventWait&) = delete;
  LinuxEventWait& operator=(const LinuxEventWait&) = delete;

  void wake() override {
    const std::uint64_t one = 1;
    // Fails only when the counter is about to overflow, which means the
    // waiter has wake-ups pending already.
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
  }

  std::vector<int> wait(const std::vector<int>& fds,
                        std::optional<std::chrono::nanoseconds> timeout) override {
    std::vector<pollfd> polled;
    polled.reserve(fds.size() + 1);
    polled.push_back({wakeFd_, POLLIN, 0});
    for (int fd : fds) {
      polled.push_back({fd, POLLIN, 0});
    }
    timespec limit{};
    if (timeout) {
      const auto ns = std::max<std::int64_t>(0, timeout->count());
      limit = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    }
    std::vector<int> ready;
    const int n = ::ppoll(polled.data(), polled.size(), timeout ? &limit : nullptr, nullptr);
    if (n <= 0) {
      // Timed out, or a signal interrupted the wait: the caller's next turn
      // looks again.
      return ready;
    }
    if ((polled[0].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto got = ::read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 1; i < polled.size(); ++i) {
      if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ready.push_back(polled[i].fd);
      }
    }
    return ready;
  }

 private:
  int wakeFd_;
};

}  // namespace

EventWait::~EventWait() = default;

std::unique_ptr<EventWait> makeEventWait() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    return nullptr;
  }
  return std::make_unique<LinuxEventWait>(fd);
}

}  // namespace wf::host
