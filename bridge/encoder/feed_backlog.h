#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace wf::bridge {

/// One chunk of the program feed, held once and shared by every output it
/// goes to.
using SharedChunk = std::shared_ptr<const std::string>;

/// Backlog bytes above which an output counts as failed.
inline constexpr uint64_t BACKLOG_LIMIT = 16u << 20;
/// How long an output may hold a backlog without taking a byte before it
/// counts as failed; the same bound as the children's own network timeout.
inline constexpr std::chrono::milliseconds BACKLOG_STALL{5000};

/// The chunks queued for one output and not yet in its pipe, with the rules
/// that decide when the output has fallen too far behind. Pure bookkeeping:
/// no lock, no I/O, time passed in by the caller.
class FeedBacklog {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  /// Queues `chunk` at `now`. Refuses it (and queues nothing) when it would
  /// take a backlog that is not empty past BACKLOG_LIMIT; a chunk larger than
  /// the limit is still taken by an output that has caught up, since chunks
  /// have no size limit of their own.
  bool admit(SharedChunk chunk, TimePoint now);

  /// True when the output has held a backlog and taken no byte for
  /// BACKLOG_STALL up to `now`.
  bool stalled(TimePoint now) const;

  /// The chunk being written and how far into it the pipe has taken;
  /// null when nothing is queued.
  const SharedChunk& front() const;
  size_t offset() const { return offset_; }

  /// Records that the pipe took `n` more bytes at `now`; a chunk taken in
  /// full leaves the queue and counts in `bytes_received`.
  void took(size_t n, TimePoint now);

  bool empty() const { return queue_.empty(); }
  /// Bytes queued and not yet in the pipe.
  uint64_t pending() const { return pending_; }
  /// Bytes of the chunks that went into the pipe in full.
  uint64_t bytes_received() const { return bytes_received_; }

 private:
  std::deque<SharedChunk> queue_;
  size_t offset_ = 0;
  uint64_t pending_ = 0;
  uint64_t bytes_received_ = 0;
  // When the output last made progress: the last byte taken, or the moment
  // its backlog began.
  TimePoint since_{};
};

}  // namespace wf::bridge
