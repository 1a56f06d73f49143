#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/encoder/feed_pipe.h"

namespace wf::bridge {

namespace {

// The wake-up is an eventfd beside the pipe, so one poll waits for either.
class LinuxFeedPipe : public FeedPipe {
 public:
  LinuxFeedPipe(UniqueFd pipe, UniqueFd wake) : pipe_(std::move(pipe)), wake_(std::move(wake)) {}

  Result<size_t> write_some(std::string_view bytes) override {
    for (;;) {
      const ssize_t n = ::write(pipe_.get(), bytes.data(), bytes.size());
      if (n >= 0) {
        return static_cast<size_t>(n);
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN) {
        return size_t{0};
      }
      return Error(std::strerror(errno));
    }
  }

  void wait(bool for_room) override {
    pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {pipe_.get(), POLLOUT, 0}};
    const int rc = ::poll(fds, for_room ? 2 : 1, -1);
    if (rc > 0 && (fds[0].revents & POLLIN)) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    }
  }

  void wake() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }

  bool broken() override {
    // A pipe without readers reports an error condition on its write end.
    pollfd fd = {pipe_.get(), POLLOUT, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  }

  void close() override { pipe_.reset(); }

 private:
  UniqueFd pipe_;
  UniqueFd wake_;
};

}  // namespace

Result<std::unique_ptr<FeedPipe>> make_feed_pipe(UniqueFd write_end) {
  const int flags = ::fcntl(write_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(write_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return Error(std::strerror(errno));
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) {
    return Error(std::strerror(errno));
  }
  return std::unique_ptr<FeedPipe>(
      std::make_unique<LinuxFeedPipe>(std::move(write_end), std::move(wake)));
}

}  // namespace wf::bridge
