#include "bridge/encoder/shared_engine.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <set>

#include "bridge/core/text.h"
#include "bridge/encoder/arguments.h"
#include "bridge/encoder/feed_writer.h"
#include "bridge/encoder/ffmpeg.h"
#include "bridge/encoder/status.h"
#include "bridge/media/destination_health.h"
#include "bridge/media/flv_tags.h"
#include "bridge/media/progress.h"
#include "bridge/media/reconnect_schedule.h"

namespace wf::bridge {

/// One run of a destination's publishing child.
struct PublishAttempt {
  std::unique_ptr<ChildHandle> child;
  /// The child's input; null once the attempt has ended.
  std::unique_ptr<FeedWriter> writer;
  FlvJoin join;
  /// The writer refused a tag (its backlog or stall rule): the attempt ends
  /// at the next supervision.
  bool dropped = false;
};

/// One destination of shared mode. Guarded by its engine's mutex, except
/// the names, which never change.
class SharedDestination {
 public:
  SharedDestination(SharedEngine& engine, ChildLauncher& launcher, std::string id, std::string name,
                    std::string url)
      : engine(engine),
        launcher(launcher),
        id(std::move(id)),
        name(std::move(name)),
        url(std::move(url)) {}

  SharedEngine& engine;
  ChildLauncher& launcher;
  const std::string id;
  const std::string name;
  const std::string url;

  std::shared_ptr<Rendition> rendition;
  /// The current attempt, or the last one while waiting for the next.
  std::optional<PublishAttempt> attempt;
  /// The log of the latest attempt.
  std::string log_path;
  ReconnectSchedule schedule;
  DestinationHealth health;
  /// Bytes taken by the publishers of attempts that ended.
  uint64_t bytes_done = 0;
  uint64_t last_sampled = 0;
  bool stopped = false;
  bool failed = false;

  uint64_t bytes_total() const {
    return bytes_done + (attempt && attempt->writer ? attempt->writer->bytes_received() : 0);
  }
  bool publishing() const { return attempt && attempt->writer; }
};

/// One encoding child and what its reader thread keeps of its output.
class Rendition {
 public:
  std::vector<std::string> args;
  std::string demuxer;
  std::string log_path;
  std::unique_ptr<ChildHandle> child;
  /// The child's input, fed by the dispatch thread; null once closed.
  std::unique_ptr<FeedWriter> input;
  /// Set while the child waits to join a running feed (dispatch thread).
  std::optional<FeedJoin> join;
  /// Set by the dispatch thread, read by the supervisor.
  std::atomic<bool> input_failed{false};
  std::thread reader;
  UniqueFd output;
  UniqueFd progress;

  // Guarded by the engine's mutex:
  FlvHead head;
  std::optional<EncoderProgress> figures;
  std::vector<SharedDestination*> destinations;
  bool output_ended = false;
  bool output_malformed = false;
};

namespace {

void erase_one(std::vector<SharedDestination*>& list, SharedDestination* d) {
  list.erase(std::remove(list.begin(), list.end(), d), list.end());
}

Result<size_t> read_some(int fd, char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) {
      return static_cast<size_t>(n);
    }
    if (errno != EINTR) {
      return Error("read failed");
    }
  }
}

std::optional<FeedContainer> container_of(const std::string& demuxer) {
  if (demuxer == "webm") {
    return FeedContainer::WebM;
  }
  if (demuxer == "mov") {
    return FeedContainer::Mp4;
  }
  return std::nullopt;
}

}  // namespace

SharedEngine::SharedEngine(Clock& clock, bool supervise) : clock_(clock) {
  if (supervise) {
    supervisor_ = std::thread([this] { this->supervise(); });
  }
}

SharedEngine::~SharedEngine() {
  if (supervisor_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    supervisor_.join();
  }
  std::vector<std::shared_ptr<SharedDestination>> rest;
  {
    std::lock_guard lock(mutex_);
    rest = destinations_;
  }
  if (!rest.empty()) {
    SharedStop stop(std::move(rest));
    stop.finish(clock_, clock_.now() + STOP_GRACE);
  }
  // Renditions whose destinations all left through a failed feed are
  // discarded there; any left here have no destination.
  std::vector<std::shared_ptr<Rendition>> renditions;
  {
    std::lock_guard lock(mutex_);
    renditions = std::move(renditions_);
  }
  for (auto& r : renditions) {
    r->input.reset();
    kill_and_reap(r->child);
    if (r->reader.joinable()) {
      r->reader.join();
    }
  }
}

Result<std::shared_ptr<Rendition>> SharedEngine::start_rendition(const std::string& program,
                                                                 std::vector<std::string> args,
                                                                 const std::string& demuxer,
                                                                 const std::string& name,
                                                                 ChildLauncher& launcher) {
  auto r = std::make_shared<Rendition>();
  r->args = std::move(args);
  r->demuxer = demuxer;
  r->log_path = next_log_path();
  auto log = create_log_file(r->log_path);
  if (!log) {
    return log.error();
  }
  auto launched = launcher.launch_reading(program, r->args, log->get(), /*with_fd3=*/true);
  if (!launched) {
    return Error("could not start FFmpeg for " + name + "; install FFmpeg or set FFMPEG_PATH",
                 launched.error());
  }
  r->child = std::move(launched->child);
  if (!launched->stdin_pipe.valid() || !launched->stdout_pipe.valid()) {
    kill_and_reap(r->child);
    return Error("FFmpeg stdin unavailable for " + name);
  }
  auto input = start_feed_writer(std::move(launched->stdin_pipe), clock_);
  if (!input) {
    kill_and_reap(r->child);
    return Error("FFmpeg stdin unavailable for " + name, input.error());
  }
  r->input = std::move(*input);
  r->output = std::move(launched->stdout_pipe);
  r->progress = std::move(launched->extra_pipe);

  // A child that starts on a running feed must begin with the feed's init
  // segment and a fragment that a decoder can start at.
  auto container = container_of(demuxer);
  auto seg = segmenters_.find(demuxer);
  if (seg == segmenters_.end() && container) {
    segmenters_.emplace(demuxer, Segmenter{FeedSegmenter(*container), {}, 0, {}});
  } else if (seg != segmenters_.end() && seg->second.segmenter.position() > 0) {
    // The init segment and the recent feed from a keyframe fragment let the
    // child start now, a little behind live, which it catches up faster
    // than real time; without them it waits for the next such fragment.
    const Segmenter& s = seg->second;
    if (s.segmenter.init_complete() && !s.segmenter.failed() && !s.rewind.history().empty()) {
      r->input->offer(std::make_shared<const std::string>(s.segmenter.init_segment()));
      r->input->offer(std::make_shared<const std::string>(s.rewind.history()));
    } else {
      r->join.emplace();
    }
  }
  try {
    r->reader = std::thread([this, raw = r.get()] { read_output(raw); });
  } catch (const std::system_error& e) {
    r->input.reset();
    kill_and_reap(r->child);
    return Error("FFmpeg stdin unavailable for " + name, Error(e.what()));
  }
  return r;
}

Result<std::vector<EncoderProcess>> SharedEngine::start(const EncoderStartRequest& request,
                                                        ChildLauncher& launcher,
                                                        bool join_running) {
  if (request.outputs.empty()) {
    return Error("no RTMP outputs configured");
  }
  auto demuxer = input_demuxer(request.input_format);
  if (!demuxer) {
    return demuxer.error();
  }
  const std::string program = resolve_ffmpeg();
  std::vector<EncoderProcess> started;
  std::vector<std::shared_ptr<Rendition>> fresh;
  std::set<std::string> ids;

  auto attempt = [&]() -> Status {
    for (size_t i = 0; i < request.outputs.size(); ++i) {
      const EncoderOutputRequest& output = request.outputs[i];
      if (trim_whitespace(output.rtmp_url).empty()) {
        continue;
      }
      auto identity = output_identity(output, i, ids);
      if (!identity) {
        return identity.error();
      }
      const std::string& id = identity->id;
      const std::string& name = identity->name;
      auto args = encoding_arguments(request, output);
      if (!args) {
        return args.error();
      }

      std::shared_ptr<Rendition> rendition;
      auto same = [&](const std::shared_ptr<Rendition>& r) { return r->args == *args; };
      if (auto it = std::find_if(fresh.begin(), fresh.end(), same); it != fresh.end()) {
        rendition = *it;
      } else if (join_running) {
        std::lock_guard lock(mutex_);
        for (const auto& r : renditions_) {
          if (same(r) && !r->input_failed && !r->output_ended && !r->output_malformed) {
            rendition = r;
            break;
          }
        }
      }
      if (!rendition) {
        auto made = start_rendition(program, *args, *demuxer, name, launcher);
        if (!made) {
          return made.error();
        }
        rendition = *made;
        fresh.push_back(rendition);
        std::lock_guard lock(mutex_);
        renditions_.push_back(rendition);
      }

      auto d = std::make_shared<SharedDestination>(*this, launcher, id, name,
                                                   std::string(trim_whitespace(output.rtmp_url)));
      d->rendition = rendition;
      d->log_path = next_log_path();
      auto log = create_log_file(d->log_path);
      if (!log) {
        return log.error();
      }
      auto launched = launch_fed_child(launcher, program, publishing_arguments(d->url), log->get(),
                                       name, clock_);
      if (!launched) {
        return launched.error();
      }
      d->attempt.emplace();
      d->attempt->child = std::move(launched->child);
      d->attempt->writer = std::move(launched->feed);
      const auto now = clock_.now();
      d->schedule.started(now);
      d->health.started(now);
      {
        std::lock_guard lock(mutex_);
        destinations_.push_back(d);
        rendition->destinations.push_back(d.get());
      }
      started.push_back(EncoderProcess{id, name, nullptr, nullptr, d->log_path, d});
    }
    if (started.empty()) {
      return Error("no valid RTMP outputs configured");
    }
    return {};
  };

  if (Status s = attempt(); !s) {
    stop_encoder(started, clock_);
    // An encoding child whose first destination could not start serves
    // nobody.
    std::vector<std::shared_ptr<Rendition>> orphans;
    {
      std::lock_guard lock(mutex_);
      for (auto& r : fresh) {
        // Those that served a destination were ended by the stop above.
        const bool listed =
            std::find(renditions_.begin(), renditions_.end(), r) != renditions_.end();
        if (listed && r->destinations.empty()) {
          renditions_.erase(std::remove(renditions_.begin(), renditions_.end(), r),
                            renditions_.end());
          orphans.push_back(r);
        }
      }
    }
    for (auto& r : orphans) {
      r->input.reset();
      kill_and_reap(r->child);
      if (r->reader.joinable()) {
        r->reader.join();
      }
    }
    prune_segmenters();
    return s.error();
  }
  return started;
}

std::vector<std::shared_ptr<SharedDestination>> SharedEngine::feed(const SharedChunk& chunk) {
  std::vector<std::shared_ptr<Rendition>> renditions;
  {
    std::lock_guard lock(mutex_);
    renditions = renditions_;
  }
  if (renditions.empty()) {
    return {};
  }
  for (auto& [demuxer, s] : segmenters_) {
    s.chunk_position = s.segmenter.position();
    s.events.clear();
    // A malformed feed leaves the segmenter failed: children already fed
    // go on with the chunks, and none can join it any more.
    (void)s.segmenter.push(*chunk, s.events);
    s.rewind.observe(*chunk, s.chunk_position, s.events);
  }
  std::vector<std::shared_ptr<Rendition>> failed;
  for (auto& r : renditions) {
    if (r->input_failed || !r->input) {
      continue;
    }
    bool ok = true;
    if (r->join) {
      auto seg = segmenters_.find(r->demuxer);
      if (seg != segmenters_.end()) {
        const Segmenter& s = seg->second;
        for (const SharedBytes& piece :
             r->join->admit(chunk, s.chunk_position, s.events, s.segmenter.init_segment())) {
          ok = ok && r->input->offer(piece);
        }
      }
      if (r->join->joined()) {
        r->join.reset();
      }
    } else {
      ok = r->input->offer(chunk);
    }
    if (!ok) {
      r->input_failed = true;
      failed.push_back(r);
    }
  }
  std::vector<std::shared_ptr<SharedDestination>> out;
  std::lock_guard lock(mutex_);
  for (auto& d : destinations_) {
    if (std::find(failed.begin(), failed.end(), d->rendition) != failed.end()) {
      out.push_back(d);
    }
  }
  return out;
}

void SharedEngine::discard(const std::vector<std::shared_ptr<SharedDestination>>& destinations) {
  std::vector<PublishAttempt> attempts;
  std::vector<std::shared_ptr<Rendition>> renditions;
  {
    std::lock_guard lock(mutex_);
    for (const auto& d : destinations) {
      unregister(*d);
      if (d->attempt) {
        attempts.push_back(std::move(*d->attempt));
        d->attempt.reset();
      }
      const auto& r = d->rendition;
      if (r->destinations.empty() &&
          std::find(renditions_.begin(), renditions_.end(), r) != renditions_.end()) {
        renditions_.erase(std::remove(renditions_.begin(), renditions_.end(), r),
                          renditions_.end());
        renditions.push_back(r);
      }
    }
  }
  for (PublishAttempt& a : attempts) {
    kill_and_reap(a.child);
    a.writer.reset();
  }
  for (auto& r : renditions) {
    kill_and_reap(r->child);
    r->input.reset();
    if (r->reader.joinable()) {
      r->reader.join();
    }
  }
  prune_segmenters();
}

void SharedEngine::prune_segmenters() {
  std::lock_guard lock(mutex_);
  for (auto it = segmenters_.begin(); it != segmenters_.end();) {
    const bool used = std::any_of(renditions_.begin(), renditions_.end(),
                                  [&](const auto& r) { return r->demuxer == it->first; });
    it = used ? std::next(it) : segmenters_.erase(it);
  }
}

void SharedEngine::unregister(SharedDestination& d) {
  d.stopped = true;
  destinations_.erase(std::remove_if(destinations_.begin(), destinations_.end(),
                                     [&](const auto& p) { return p.get() == &d; }),
                      destinations_.end());
  if (d.rendition) {
    erase_one(d.rendition->destinations, &d);
  }
}

void SharedEngine::tick(TimePoint now) {
  std::lock_guard lock(mutex_);
  for (const auto& dp : destinations_) {
    SharedDestination& d = *dp;
    if (d.failed) {
      continue;
    }
    Rendition& r = *d.rendition;
    if (r.output_ended || r.output_malformed || r.input_failed ||
        (r.child && r.child->try_wait())) {
      fail(d);
      continue;
    }
    if (d.publishing()) {
      PublishAttempt& a = *d.attempt;
      if (a.dropped || a.child->try_wait()) {
        end_attempt(d, now);
        continue;
      }
      const uint64_t total = d.bytes_total();
      d.health.sample(total, now);
      if (total > d.last_sampled) {
        d.schedule.publishing(now);
        d.last_sampled = total;
      }
    } else if (auto due = d.schedule.due(); due && now >= *due) {
      launch_attempt(d, now);
    }
  }
}

void SharedEngine::end_attempt(SharedDestination& d, TimePoint now) {
  PublishAttempt& a = *d.attempt;
  // A publisher dropped by its writer may still run.
  a.child->kill();
  a.child->wait();
  d.bytes_done += a.writer->bytes_received();
  a.writer.reset();
  if (d.schedule.ended(now)) {
    d.health.waiting();
  } else {
    d.failed = true;
    d.health.failed();
  }
}

void SharedEngine::launch_attempt(SharedDestination& d, TimePoint now) {
  d.schedule.started(now);
  d.health.started(now);
  // Each attempt writes its own log.
  d.log_path = next_log_path();
  auto failed_attempt = [&] {
    if (d.schedule.ended(now)) {
      d.health.waiting();
    } else {
      d.failed = true;
      d.health.failed();
    }
  };
  auto log = create_log_file(d.log_path);
  if (!log) {
    failed_attempt();
    return;
  }
  auto launched = launch_fed_child(d.launcher, resolve_ffmpeg(), publishing_arguments(d.url),
                                   log->get(), d.name, clock_);
  if (!launched) {
    failed_attempt();
    return;
  }
  d.attempt.emplace();
  d.attempt->child = std::move(launched->child);
  d.attempt->writer = std::move(launched->feed);
}

void SharedEngine::fail(SharedDestination& d) {
  d.failed = true;
  d.health.failed();
  if (d.publishing()) {
    PublishAttempt& a = *d.attempt;
    a.child->kill();
    a.child->wait();
    d.bytes_done += a.writer->bytes_received();
    a.writer.reset();
  }
}

bool SharedEngine::failed(const SharedDestination& destination) {
  std::lock_guard lock(mutex_);
  return destination.failed;
}

void SharedEngine::describe(const SharedDestination& d, nlohmann::ordered_json& o) {
  using nlohmann::ordered_json;
  const auto now = clock_.now();
  std::string log_path;
  {
    std::lock_guard lock(mutex_);
    ChildHandle* child = d.attempt ? d.attempt->child.get() : nullptr;
    const std::optional<ChildExit> exit = child ? child->try_wait() : std::nullopt;
    o["bitrateKbps"] = d.health.bitrate_kbps(now);
    o["bytesReceived"] = d.bytes_total();
    // Filled in below, once the lock is released: reading the log must not
    // hold up the readers.
    o["diagnostic"] = "";
    log_path = d.log_path;
    const Rendition& r = *d.rendition;
    if (r.figures) {
      o["encoder"] = ordered_json{{"droppedFrames", r.figures->dropped_frames},
                                  {"duplicatedFrames", r.figures->duplicated_frames},
                                  {"fps", r.figures->fps},
                                  {"speed", r.figures->speed}};
    } else {
      o["encoder"] = nullptr;
    }
    o["exitCode"] = exit && exit->code ? ordered_json(*exit->code) : ordered_json(nullptr);
    o["id"] = d.id;
    o["name"] = d.name;
    o["processId"] = child ? static_cast<uint64_t>(child->pid()) : 0;
    o["reconnects"] = d.schedule.reconnects();
    o["running"] = child && !exit.has_value();
    o["state"] = std::string(to_string(d.failed ? DestinationState::Failed : d.health.state(now)));
  }
  if (auto tail = encoder_diagnostic_tail(log_path)) {
    o["diagnostic"] = *tail;
  }
}

void SharedEngine::supervise() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    lock.unlock();
    tick(clock_.now());
    lock.lock();
    wake_.wait_for(lock, SUPERVISE_PERIOD, [this] { return quit_; });
  }
}

void SharedEngine::read_output(Rendition* r) {
  FlvSplitter splitter;
  ProgressParser progress;
  std::vector<FlvTag> tags;
  std::vector<EncoderProgress> reports;
  std::string buffer(64 * 1024, '\0');
  pollfd fds[2] = {{r->output.get(), POLLIN, 0}, {r->progress.get(), POLLIN, 0}};
  bool malformed = false;
  for (;;) {
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (count == 2 && fds[1].revents) {
      auto n = read_some(fds[1].fd, buffer.data(), buffer.size());
      if (!n || *n == 0) {
        fds[1].fd = -1;
      } else {
        reports.clear();
        progress.push(std::string_view(buffer.data(), *n), reports);
        if (!reports.empty()) {
          std::lock_guard lock(mutex_);
          r->figures = reports.back();
        }
      }
    }
    if (!fds[0].revents) {
      continue;
    }
    auto n = read_some(fds[0].fd, buffer.data(), buffer.size());
    if (!n || *n == 0) {
      break;
    }
    if (malformed) {
      // Keep draining, so the child never blocks on a full pipe.
      continue;
    }
    tags.clear();
    const Status split = splitter.push(std::string_view(buffer.data(), *n), tags);
    std::lock_guard lock(mutex_);
    for (const FlvTag& tag : tags) {
      r->head.observe(tag);
      for (SharedDestination* d : r->destinations) {
        if (!d->publishing() || d->attempt->dropped) {
          continue;
        }
        PublishAttempt& a = *d->attempt;
        for (const SharedBytes& unit : a.join.admit(tag, r->head)) {
          if (!a.writer->offer(unit)) {
            a.dropped = true;
            break;
          }
        }
      }
    }
    if (!split) {
      malformed = true;
      r->output_malformed = true;
    }
  }
  std::lock_guard lock(mutex_);
  r->output_ended = true;
}

SharedStop::SharedStop(std::vector<std::shared_ptr<SharedDestination>> destinations)
    : destinations_(std::move(destinations)) {
  if (destinations_.empty()) {
    return;
  }
  engine_ = &destinations_.front()->engine;
  std::lock_guard lock(engine_->mutex_);
  std::set<Rendition*> ending;
  for (const auto& d : destinations_) {
    d->stopped = true;
    auto& all = engine_->destinations_;
    all.erase(std::remove(all.begin(), all.end(), d), all.end());
  }
  // An encoding child whose every destination stops ends too; the others
  // go on serving the destinations that stay.
  for (const auto& d : destinations_) {
    const auto& r = d->rendition;
    const bool served = std::any_of(r->destinations.begin(), r->destinations.end(),
                                    [](SharedDestination* other) { return !other->stopped; });
    if (!served && ending.insert(r.get()).second) {
      renditions_.push_back(r);
      auto& all = engine_->renditions_;
      all.erase(std::remove(all.begin(), all.end(), r), all.end());
    }
  }
  for (const auto& d : destinations_) {
    if (!ending.count(d->rendition.get())) {
      erase_one(d->rendition->destinations, d.get());
      if (d->publishing()) {
        d->attempt->writer->close_queue();
      }
    }
  }
  for (const auto& r : renditions_) {
    if (r->input) {
      r->input->close_queue();
    }
  }
}

void SharedStop::finish(Clock& clock, Clock::TimePoint deadline) {
  if (!engine_) {
    return;
  }
  // The encoding children first: their input drains and closes, they
  // flush, end, and their readers hand the last tags to the publishers.
  for (;;) {
    bool waiting = false;
    for (const auto& r : renditions_) {
      if (r->input && r->input->settled()) {
        r->input.reset();
      }
      if (r->input) {
        waiting = true;
      } else if (r->child && !r->child->try_wait()) {
        waiting = true;
      }
    }
    if (!waiting || clock.now() >= deadline) {
      break;
    }
    clock.sleep_for(STOP_POLL);
  }
  for (const auto& r : renditions_) {
    r->input.reset();
    if (r->child && !r->child->try_wait()) {
      r->child->kill();
      r->child->wait();
    }
    if (r->reader.joinable()) {
      r->reader.join();
    }
  }

  // Then the publishers, now that nothing more is fanned out to them.
  std::vector<PublishAttempt*> attempts;
  {
    std::lock_guard lock(engine_->mutex_);
    for (const auto& d : destinations_) {
      erase_one(d->rendition->destinations, d.get());
      if (d->publishing()) {
        d->attempt->writer->close_queue();
        attempts.push_back(&*d->attempt);
      }
    }
  }
  for (;;) {
    bool writing = false;
    for (PublishAttempt* a : attempts) {
      if (a->writer && a->writer->settled()) {
        a->writer.reset();
      }
      writing = writing || a->writer;
    }
    if (!writing || clock.now() >= deadline) {
      break;
    }
    clock.sleep_for(STOP_POLL);
  }
  for (PublishAttempt* a : attempts) {
    a->writer.reset();
  }
  for (PublishAttempt* a : attempts) {
    for (;;) {
      if (a->child->try_wait()) {
        break;
      }
      if (clock.now() >= deadline) {
        a->child->kill();
        a->child->wait();
        break;
      }
      clock.sleep_for(STOP_POLL);
    }
  }
  engine_->prune_segmenters();
}

}  // namespace wf::bridge
