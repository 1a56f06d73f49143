#include "channel/host.h"

#include "channel/dispatcher.h"
#include "channel/line_reader.h"
#include "operations/process.h"

namespace wf::host {

namespace {
constexpr auto TURN_WAIT = std::chrono::milliseconds(1);
}

Host::Host(const Registry& registry, std::unique_ptr<EventPump> pump, int inputFd, int outputFd)
    : registry_(registry),
      pump_(std::move(pump)),
      inputFd_(inputFd),
      writer_(outputFd),
      queues_(std::make_shared<Queues>()) {}

Host::~Host() {
  if (worker_.joinable()) {
    stop_.exchange(true);
    worker_.join();
  }
}

void Host::readLines(std::shared_ptr<Queues> queues, int fd) {
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
    (route == Route::Process ? queues->processReady : queues->commandReady).notify_one();
  }
  {
    std::lock_guard<std::mutex> hold(queues->queueLock);
    queues->inputEnded.exchange(true);
  }
  queues->commandReady.notify_all();
}

void Host::workerLoop() {
  while (!stop_.load()) {
    std::optional<QueuedLine> line;
    {
      std::unique_lock<std::mutex> hold(queues_->queueLock);
      if (queues_->processes.empty()) {
        // Idle: wait at most one millisecond, woken early by a new block.
        queues_->processReady.wait_for(hold, TURN_WAIT);
        continue;
      }
      line.emplace(std::move(queues_->processes.front()));
      queues_->processes.pop_front();
    }
    writer_.writeLine(processRequest(*line, state_));
  }
}

bool Host::mainTurn() {
  pump_->pump(TURN_WAIT);
  std::optional<QueuedLine> line;
  bool ended = false;
  {
    std::unique_lock<std::mutex> hold(queues_->queueLock);
    if (!queues_->commands.empty()) {
      line.emplace(std::move(queues_->commands.front()));
      queues_->commands.pop_front();
    } else {
      ended = queues_->inputEnded.load();
      if (!ended) {
        queues_->commandReady.wait_for(hold, TURN_WAIT);
      }
    }
  }
  // Empty lines are skipped without a reply. The loop ends only when input
  // has ended and nothing is queued, so every command sent before the end of
  // input is answered.
  if (line && !line->empty) {
    writer_.write(handleCommand(*line, registry_, state_));
  }
  return !ended;
}

void Host::run() {
  std::thread reader(&Host::readLines, queues_, inputFd_);
  reader.detach();
  worker_ = std::thread(&Host::workerLoop, this);

  while (mainTurn()) {
  }

  stop_.exchange(true);
  queues_->processReady.notify_all();
  worker_.join();
  while (!state_.chain.empty()) {
    state_.chain.pop_back();
  }
}

}  // namespace wf::host
