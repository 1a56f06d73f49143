#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "channel/dispatcher.h"
#include "channel/envelope.h"
#include "channel/event_pump.h"
#include "channel/event_wait.h"
#include "channel/host_state.h"
#include "channel/registry.h"

namespace wf::host {

/// The two request queues and the flags the three threads share. Kept behind
/// a shared pointer because the reader thread is detached and may outlive the
/// rest of the program's state; so is the main thread's wait, which the
/// reader wakes.
struct Queues {
  std::mutex queueLock;
  std::condition_variable processReady;
  std::deque<QueuedLine> commands;
  std::deque<QueuedLine> processes;
  bool inputEnded = false;
  bool stopWorker = false;
  std::shared_ptr<EventWait> mainWait;
};

/// The process skeleton: a reader thread that routes request lines to the
/// main thread's command queue or the audio worker's process queue, the audio
/// worker, and the main loop, whose every turn pumps user-interface events
/// and then handles at most one command. Every thread sleeps until it has
/// work: the worker until a block is queued, the main loop until a command
/// is queued, a watched descriptor is readable or a run-loop timer is due.
/// A command whose reply comes later (a scan in its child process) holds
/// back the commands behind it, while the turns go on pumping events.
class ProcessSkeleton {
 public:
  ProcessSkeleton(const Registry& registry, std::unique_ptr<EventPump> pump,
                  std::shared_ptr<EventWait> wait, int inputFd, int outputFd);
  ~ProcessSkeleton();

  /// Starts the reader (detached) and the audio worker, runs the main loop
  /// until input has ended and the command queue runs dry, stops the worker
  /// (dropping unanswered "process" lines) and destroys the chain, last
  /// insert first. Throws std::system_error when a thread cannot be started.
  void run();

 private:
  static void readLines(std::shared_ptr<Queues> queues, int fd);
  void workerLoop();
  void stopWorker();
  bool mainTurn();
  /// Takes the next command, if any, and starts it; false when none was
  /// queued and input has ended.
  bool takeCommand();

  const Registry& registry_;
  std::unique_ptr<EventPump> pump_;
  int inputFd_;
  ReplyWriter writer_;
  std::shared_ptr<Queues> queues_;
  HostState state_;
  std::vector<int> ready_;
  /// The command whose reply is still to come, if any.
  std::optional<StartedCommand> pending_;
  std::thread worker_;
};

}  // namespace wf::host
