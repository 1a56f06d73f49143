#include "bridge/encoder/feed_backlog.h"

namespace wf::bridge {

bool FeedBacklog::admit(SharedChunk chunk, TimePoint now) {
  if (!chunk || chunk->empty()) {
    return true;
  }
  if (pending_ > 0 && pending_ + chunk->size() > BACKLOG_LIMIT) {
    return false;
  }
  if (pending_ == 0) {
    since_ = now;
  }
  pending_ += chunk->size();
  queue_.push_back(std::move(chunk));
  return true;
}

bool FeedBacklog::stalled(TimePoint now) const {
  return pending_ > 0 && now - since_ >= BACKLOG_STALL;
}

const SharedChunk& FeedBacklog::front() const {
  static const SharedChunk none;
  return queue_.empty() ? none : queue_.front();
}

void FeedBacklog::took(size_t n, TimePoint now) {
  if (n == 0 || queue_.empty()) {
    return;
  }
  since_ = now;
  pending_ -= n;
  offset_ += n;
  if (offset_ >= queue_.front()->size()) {
    bytes_received_ += queue_.front()->size();
    queue_.pop_front();
    offset_ = 0;
  }
}

}  // namespace wf::bridge
