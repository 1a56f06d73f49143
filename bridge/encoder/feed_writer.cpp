#include "bridge/encoder/feed_writer.h"

#include <system_error>

namespace wf::bridge {

FeedWriter::FeedWriter(std::unique_ptr<FeedPipe> pipe, Clock& clock)
    : pipe_(std::move(pipe)), clock_(clock), thread_([this] { run(); }) {}

FeedWriter::~FeedWriter() {
  shut();
}

bool FeedWriter::offer(const SharedChunk& chunk) {
  {
    std::lock_guard lock(mutex_);
    if (failed_ || closed_) {
      return false;
    }
    const auto now = clock_.now();
    // The reader may have gone while the writer had nothing to write.
    if (backlog_.stalled(now) || pipe_->broken() || !backlog_.admit(chunk, now)) {
      failed_ = true;
      return false;
    }
  }
  pipe_->wake();
  return true;
}

void FeedWriter::close_queue() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

bool FeedWriter::settled() const {
  std::lock_guard lock(mutex_);
  return failed_ || backlog_.empty();
}

void FeedWriter::shut() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    pipe_->wake();
    thread_.join();
  }
  // Only now, with the thread gone, may the pipe close.
  pipe_->close();
}

uint64_t FeedWriter::bytes_received() const {
  std::lock_guard lock(mutex_);
  return backlog_.bytes_received();
}

uint64_t FeedWriter::pending() const {
  std::lock_guard lock(mutex_);
  return backlog_.pending();
}

void FeedWriter::run() {
  for (;;) {
    SharedChunk chunk;
    size_t offset = 0;
    {
      std::lock_guard lock(mutex_);
      if (quit_) {
        return;
      }
      if (!failed_) {
        chunk = backlog_.front();
        offset = backlog_.offset();
      }
    }
    if (!chunk) {
      // Idle, or failed and waiting to be shut: only a wake ends the wait.
      pipe_->wait(false);
      continue;
    }
    // The chunk is held by this copy, so the bytes stay put outside the lock.
    auto n = pipe_->write_some(std::string_view(*chunk).substr(offset));
    // The backlog holds the chunk from here; a waiting writer holds none.
    chunk.reset();
    if (!n) {
      std::lock_guard lock(mutex_);
      failed_ = true;
      continue;
    }
    if (*n == 0) {
      pipe_->wait(true);
      continue;
    }
    std::lock_guard lock(mutex_);
    backlog_.took(*n, clock_.now());
  }
}

Result<std::unique_ptr<FeedWriter>> start_feed_writer(UniqueFd write_end, Clock& clock) {
  auto pipe = make_feed_pipe(std::move(write_end));
  if (!pipe) {
    return pipe.error();
  }
  try {
    return std::make_unique<FeedWriter>(std::move(*pipe), clock);
  } catch (const std::system_error& e) {
    // No thread could be started: the launch fails like any other.
    return Error(e.what());
  }
}

}  // namespace wf::bridge
