#include "editor/desktop.h"

#include <algorithm>

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

void Desktop::pump(const std::vector<int>& ready) {
  if (display_) {
    display_->dispatchPending();
  }
  // A loop's handler may close another editor, so go by a copy and skip the
  // loops removed meanwhile.
  auto loops = loops_;
  for (auto* loop : loops) {
    if (std::find(loops_.begin(), loops_.end(), loop) != loops_.end()) {
      loop->dispatch(ready);
    }
  }
  if (display_) {
    display_->dispatchPending();
  }
}

std::optional<std::chrono::nanoseconds> Desktop::prepareWait(std::vector<int>& fds) {
  if (display_) {
    display_->dispatchPending();
    if (display_->eventFd() >= 0) {
      fds.push_back(display_->eventFd());
    }
  }
  std::optional<std::chrono::nanoseconds> wait;
  for (auto* loop : loops_) {
    loop->addFds(fds);
    if (auto next = loop->untilNextTimer()) {
      wait = wait ? std::min(*wait, *next) : *next;
    }
  }
  return wait;
}

}  // namespace wf::editor
