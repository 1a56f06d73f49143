#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/core/clock.h"
#include "bridge/encoder/feed_backlog.h"
#include "bridge/encoder/feed_pipe.h"

namespace wf::bridge {

/// The writer of one output: its own thread takes the output's queued
/// chunks, in order, into the output's pipe, so that the dispatch thread
/// never waits on a pipe. The dispatch thread queues chunks, reads the byte
/// count, and ends the writer; the writer owns the pipe and closes it.
class FeedWriter {
 public:
  /// Starts the writer's thread over `pipe`. `clock` times the backlog
  /// rules and must outlive the writer.
  FeedWriter(std::unique_ptr<FeedPipe> pipe, Clock& clock = steady_clock());
  /// Stops the thread without waiting for the backlog, then closes the pipe.
  ~FeedWriter();
  FeedWriter(const FeedWriter&) = delete;
  FeedWriter& operator=(const FeedWriter&) = delete;

  /// Queues `chunk` for the pipe. False when the output has failed, now or
  /// before: a write failed, the pipe's reader is gone, its backlog would
  /// pass BACKLOG_LIMIT, or it has held a backlog and taken no byte for
  /// BACKLOG_STALL. A failed output takes no more chunks.
  bool offer(const SharedChunk& chunk);

  /// Takes no more chunks from here on; what is queued still goes in.
  void close_queue();
  /// True once nothing queued remains to be written, or the output failed
  /// (its backlog will never drain).
  bool settled() const;
  /// Stops the thread, whatever is still queued, and closes the pipe.
  void shut();

  /// Bytes of the chunks that went into the pipe in full.
  uint64_t bytes_received() const;
  /// Bytes queued and not yet in the pipe.
  uint64_t pending() const;

 private:
  void run();

  std::unique_ptr<FeedPipe> pipe_;
  Clock& clock_;
  mutable std::mutex mutex_;
  FeedBacklog backlog_;
  bool failed_ = false;
  bool closed_ = false;
  bool quit_ = false;
  std::thread thread_;
};

/// A writer over the write end of a real pipe, or the system's reason why
/// the pipe or the thread could not be set up.
Result<std::unique_ptr<FeedWriter>> start_feed_writer(UniqueFd write_end,
                                                      Clock& clock = steady_clock());

}  // namespace wf::bridge
