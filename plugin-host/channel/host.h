#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "channel/envelope.h"
#include "channel/event_pump.h"
#include "channel/host_state.h"
#include "channel/registry.h"

namespace wf::host {

/// The two request queues and the flags the three threads share. Kept behind
/// a shared pointer because the reader thread is detached and may outlive the
/// rest of the program's state.
struct Queues {
  std::mutex queueLock;
  std::condition_variable commandReady;
  std::condition_variable processReady;
  std::deque<QueuedLine> commands;
  std::deque<QueuedLine> processes;
  std::atomic<bool> inputEnded{false};
};

/// The process skeleton: a reader thread that routes request lines to the
/// main thread's command queue or the audio worker's process queue, the audio
/// worker, and the main loop, whose every turn pumps user-interface events
/// and then handles at most one command.
class Host {
 public:
  Host(const Registry& registry, std::unique_ptr<EventPump> pump, int inputFd, int outputFd);
  ~Host();

  /// Starts the reader (detached) and the audio worker, runs the main loop
  /// until input has ended and the command queue runs dry (or reaches an
  /// empty line), stops the worker (dropping unanswered "process" lines) and
  /// destroys the chain, last insert first. Throws std::system_error when a
  /// thread cannot be started.
  void run();

 private:
  static void readLines(std::shared_ptr<Queues> queues, int fd);
  void workerLoop();
  bool mainTurn();

  const Registry& registry_;
  std::unique_ptr<EventPump> pump_;
  int inputFd_;
  ReplyWriter writer_;
  std::shared_ptr<Queues> queues_;
  HostState state_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

}  // namespace wf::host
