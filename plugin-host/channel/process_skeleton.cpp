#include "channel/process_skeleton.h"

#include <algorithm>

#include "channel/dispatcher.h"
#include "channel/line_reader.h"
#include "operations/latency_changes.h"
#include "operations/output_parameters.h"
#include "operations/process.h"

namespace wf::host {

ProcessSkeleton::ProcessSkeleton(const Registry& registry, std::unique_ptr<EventPump> pump,
                                 std::shared_ptr<EventWait> wait, int inputFd, int outputFd)
    : registry_(registry),
      pump_(std::move(pump)),
      inputFd_(inputFd),
      writer_(outputFd),
      queues_(std::make_shared<Queues>()) {
  queues_->mainWait = std::move(wait);
  // A plug-in announces a latency change from any thread; the main loop
  // answers it on its next turn.
  std::weak_ptr<Queues> queues = queues_;
  state_.wakeMain = [queues] {
    if (auto held = queues.lock()) {
      held->mainWait->wake();
    }
  };
}

ProcessSkeleton::~ProcessSkeleton() {
  stopWorker();
}

void ProcessSkeleton::readLines(std::shared_ptr<Queues> queues, int fd) {
  LineReader reader(fdSource(fd));
  std::string line;
  while (reader.next(line) == LineReader::Status::Line) {
    // Parsing happens outside the queue lock: the handling threads only take
    // the lock to remove a line and must not wait behind a large parse.
    QueuedLine parsed;
    const Route route = routeLine(line, parsed);
    {
      std::lock_guard<std::mutex> hold(queues->queueLock);
      (route == Route::Process ? queues->processes : queues->commands).push_back(std::move(parsed));
    }
    if (route == Route::Process) {
      queues->processReady.notify_one();
    } else {
      queues->mainWait->wake();
    }
  }
  {
    std::lock_guard<std::mutex> hold(queues->queueLock);
    queues->inputEnded = true;
  }
  queues->mainWait->wake();
}

void ProcessSkeleton::workerLoop() {
  for (;;) {
    std::optional<QueuedLine> line;
    {
      std::unique_lock<std::mutex> hold(queues_->queueLock);
      queues_->processReady.wait(
          hold, [&] { return queues_->stopWorker || !queues_->processes.empty(); });
      if (queues_->stopWorker) {
        return;
      }
      line.emplace(std::move(queues_->processes.front()));
      queues_->processes.pop_front();
    }
    writer_.writeLine(processRequest(*line, state_));
  }
}

void ProcessSkeleton::stopWorker() {
  if (!worker_.joinable()) {
    return;
  }
  {
    // Set under the lock so the worker cannot miss it between its check and
    // its sleep.
    std::lock_guard<std::mutex> hold(queues_->queueLock);
    queues_->stopWorker = true;
  }
  queues_->processReady.notify_all();
  worker_.join();
}

bool ProcessSkeleton::takeCommand() {
  std::optional<QueuedLine> line;
  bool ended = false;
  {
    std::lock_guard<std::mutex> hold(queues_->queueLock);
    if (!queues_->commands.empty()) {
      line.emplace(std::move(queues_->commands.front()));
      queues_->commands.pop_front();
    } else {
      ended = queues_->inputEnded;
    }
  }
  // Empty lines are skipped without a reply. The loop ends only when input
  // has ended and nothing is queued, so every command sent before the end of
  // input is answered.
  if (line && !line->empty) {
    pending_.emplace(startCommand(*line, registry_, state_));
  }
  return !ended;
}

bool ProcessSkeleton::mainTurn() {
  // Descriptors of a pending command are the loop's own, not the pump's.
  if (pending_) {
    const std::vector<int> own =
        pending_->pending ? pending_->pending->watchedFds() : std::vector<int>{};
    std::erase_if(ready_,
                  [&](int fd) { return std::find(own.begin(), own.end(), fd) != own.end(); });
  }
  pump_->pump(ready_);
  ready_.clear();

  // Room for per-turn steps that belong right after the user-interface
  // events and before the command.
  deliverOutputParameters(state_);
  serviceLatencyChanges(state_);

  bool running = true;
  if (!pending_) {
    running = takeCommand();
  }
  if (pending_) {
    if (std::optional<nlohmann::json> reply = pollCommand(*pending_)) {
      writer_.write(*reply);
      pending_.reset();
    }
  }
  if (!running) {
    return false;
  }

  // Sleep until something can bring work. With a command still queued the
  // wait only polls, so descriptors and timers get their turn between
  // commands; otherwise it lasts until the next timer, without limit when
  // there is none. The reader's wake-up ends it when a command arrives. A
  // pending command adds its descriptors and its time limit, and holds the
  // queued commands back, so the loop sleeps while it runs.
  std::vector<int> fds;
  std::optional<std::chrono::nanoseconds> timeout = pump_->prepareWait(fds);
  if (pending_) {
    const std::vector<int> own = pending_->pending->watchedFds();
    fds.insert(fds.end(), own.begin(), own.end());
    if (const auto within = pending_->pending->pollWithin()) {
      timeout = timeout ? std::min(*timeout, *within) : *within;
    }
  } else {
    std::lock_guard<std::mutex> hold(queues_->queueLock);
    if (!queues_->commands.empty() || queues_->inputEnded) {
      timeout = std::chrono::nanoseconds(0);
    }
  }
  ready_ = queues_->mainWait->wait(fds, timeout);
  return true;
}

void ProcessSkeleton::run() {
  std::thread reader(&ProcessSkeleton::readLines, queues_, inputFd_);
  reader.detach();
  worker_ = std::thread(&ProcessSkeleton::workerLoop, this);

  while (mainTurn()) {
  }

  stopWorker();
  while (!state_.chain.empty()) {
    state_.chain.pop_back();
  }
}

}  // namespace wf::host
