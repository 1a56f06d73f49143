#include "editor/desktop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace wf::editor {

Desktop::Desktop(DisplayOpener opener) : opener_(std::move(opener)) {}

Desktop::~Desktop() = default;

Display* Desktop::display() {
  // A lost connection is replaced once no editor window depends on it (each
  // live editor window keeps one run loop here).
  if (display_ && !display_->connected() && loops_.empty()) {
    display_.reset();
  }
  if (!display_ && opener_) {
    display_ = opener_();
  }
  return display_.get();
}

void Desktop::add(RunLoop* loop) {
  if (std::find(loops_.begin(), loops_.end(), loop) == loops_.end()) {
    loops_.push_back(loop);
  }
}

void Desktop::remove(RunLoop* loop) {
  std::erase(loops_, loop);
}

void Desktop::pump(std::chrono::nanoseconds maxWait) {
  if (display_) {
    display_->dispatchPending();
  }
  std::vector<pollfd> fds;
  if (display_ && display_->eventFd() >= 0) {
    fds.push_back({display_->eventFd(), POLLIN, 0});
  }
  auto wait = std::max(std::chrono::nanoseconds(0), maxWait);
  for (auto* loop : loops_) {
    loop->addPollFds(fds);
    if (auto next = loop->untilNextTimer()) {
      wait = std::min(wait, *next);
    }
  }
  bool timers = std::any_of(loops_.begin(), loops_.end(),
                            [](RunLoop* loop) { return loop->untilNextTimer().has_value(); });
  if (fds.empty() && !timers) {
    // Nothing could become ready: waiting would only delay the turn, whose
    // own idle sleep already bounds it.
    return;
  }
  timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                   static_cast<long>(wait.count() % 1'000'000'000)};
  if (fds.empty()) {
    while (nanosleep(&timeout, &timeout) != 0 && errno == EINTR) {
    }
  } else if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
    for (auto& p : fds) {
      p.revents = 0;
    }
  }
  // A loop's handler may close another editor, so go by a copy and skip the
  // loops removed meanwhile.
  auto loops = loops_;
  for (auto* loop : loops) {
    if (std::find(loops_.begin(), loops_.end(), loop) != loops_.end()) {
      loop->dispatch(fds);
    }
  }
  if (display_) {
    display_->dispatchPending();
  }
}

}  // namespace wf::editor
