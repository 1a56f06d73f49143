#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/encoder/feed_pipe.h"

namespace wf::bridge {

/// What a fake feed pipe took and how its reader behaves, shared between
/// the test and the pipe that the writer owns. `room` is how many more bytes
/// the pipe takes before it is full; a test makes room as a reader would.
struct FakePipeState {
  std::mutex mutex;
  std::condition_variable changed;
  std::string received;
  /// Where each write's bytes lay in memory, to show that outputs share one
  /// copy of a chunk.
  std::vector<const char*> write_sources;
  size_t room = std::numeric_limits<size_t>::max();
  bool reader_gone = false;
  /// Writes fail although the reader looks present.
  bool fail_writes = false;
  bool closed = false;
  bool woken = false;

  void make_room(size_t n) {
    std::lock_guard lock(mutex);
    room += n;
    changed.notify_all();
  }
  void lose_reader() {
    std::lock_guard lock(mutex);
    reader_gone = true;
    changed.notify_all();
  }
  std::string taken() {
    std::lock_guard lock(mutex);
    return received;
  }
  bool is_closed() {
    std::lock_guard lock(mutex);
    return closed;
  }
};

/// A feed pipe in memory, driven through its shared state.
class FakeFeedPipe : public FeedPipe {
 public:
  explicit FakeFeedPipe(std::shared_ptr<FakePipeState> state) : s_(std::move(state)) {}

  Result<size_t> write_some(std::string_view bytes) override {
    std::lock_guard lock(s_->mutex);
    if (s_->reader_gone || s_->fail_writes) {
      return Error("Broken pipe");
    }
    const size_t n = std::min(bytes.size(), s_->room);
    if (n > 0) {
      s_->received.append(bytes.substr(0, n));
      s_->write_sources.push_back(bytes.data());
      s_->room -= n;
      s_->changed.notify_all();
    }
    return n;
  }
  void wait(bool for_room) override {
    std::unique_lock lock(s_->mutex);
    s_->changed.wait(lock,
                     [&] { return s_->woken || (for_room && (s_->room > 0 || s_->reader_gone)); });
    s_->woken = false;
  }
  void wake() override {
    std::lock_guard lock(s_->mutex);
    s_->woken = true;
    s_->changed.notify_all();
  }
  bool broken() override {
    std::lock_guard lock(s_->mutex);
    return s_->reader_gone;
  }
  void close() override {
    std::lock_guard lock(s_->mutex);
    s_->closed = true;
    s_->changed.notify_all();
  }

 private:
  std::shared_ptr<FakePipeState> s_;
};

}  // namespace wf::bridge
