#include "bridge/encoder/encoder_process.h"

#include <unistd.h>

#include <filesystem>
#include <set>

#include "bridge/core/text.h"
#include "bridge/encoder/arguments.h"
#include "bridge/encoder/ffmpeg.h"
#include "bridge/encoder/shared_engine.h"

namespace wf::bridge {

std::atomic<uint64_t> LOG_SEQUENCE{0};

namespace {

std::string temp_directory() {
  std::error_code ec;
  auto dir = std::filesystem::temp_directory_path(ec);
  return ec ? std::string("/tmp") : dir.string();
}

}  // namespace

std::string next_log_path() {
  const uint64_t n = LOG_SEQUENCE.fetch_add(1);
  return temp_directory() + "/wrenfield-encoder-" + std::to_string(::getpid()) + "-" +
         std::to_string(n) + ".log";
}

Result<FedChild> launch_fed_child(ChildLauncher& launcher, const std::string& program,
                                  const std::vector<std::string>& args, int log_fd,
                                  const std::string& name, Clock& clock) {
  auto launched = launcher.launch(program, args, log_fd);
  if (!launched) {
    return Error("could not start FFmpeg for " + name + "; install FFmpeg or set FFMPEG_PATH",
                 launched.error());
  }
  if (!launched->stdin_pipe.valid()) {
    kill_and_reap(launched->child);
    return Error("FFmpeg stdin unavailable for " + name);
  }
  auto feed = start_feed_writer(std::move(launched->stdin_pipe), clock);
  if (!feed) {
    kill_and_reap(launched->child);
    return Error("FFmpeg stdin unavailable for " + name, feed.error());
  }
  return FedChild{std::move(launched->child), std::move(*feed)};
}

namespace {

// Starts the destinations of `request` into `started`; on failure the caller
// stops what was started.
Status start_all(const EncoderStartRequest& request, ChildLauncher& launcher, Clock& clock,
                 std::vector<EncoderProcess>& started) {
  if (request.outputs.empty()) {
    return Error("no RTMP outputs configured");
  }
  if (auto demuxer = input_demuxer(request.input_format); !demuxer) {
    return demuxer.error();
  }
  const std::string program = resolve_ffmpeg();
  std::set<std::string> ids;
  for (size_t i = 0; i < request.outputs.size(); ++i) {
    const EncoderOutputRequest& output = request.outputs[i];
    if (trim_whitespace(output.rtmp_url).empty()) {
      continue;
    }
    auto identity = output_identity(output, i, ids);
    if (!identity) {
      return identity.error();
    }
    std::string log_path = next_log_path();
    auto log = create_log_file(log_path);
    if (!log) {
      return log.error();
    }
    auto args = encoder_arguments(request, output);
    if (!args) {
      return args.error();
    }
    auto launched = launch_fed_child(launcher, program, *args, log->get(), identity->name, clock);
    if (!launched) {
      return launched.error();
    }
    started.push_back(EncoderProcess{std::move(identity->id), std::move(identity->name),
                                     std::move(launched->child), std::move(launched->feed),
                                     std::move(log_path)});
  }
  if (started.empty()) {
    return Error("no valid RTMP outputs configured");
  }
  return {};
}

}  // namespace

EncoderList::EncoderList(Clock& clock, bool supervise) : clock_(clock), supervise_(supervise) {}

EncoderList::~EncoderList() {
  std::vector<EncoderProcess> shared;
  for (auto it = processes_.begin(); it != processes_.end();) {
    if (it->shared) {
      shared.push_back(std::move(*it));
      it = processes_.erase(it);
    } else {
      ++it;
    }
  }
  if (!shared.empty()) {
    stop_encoder(shared, clock_);
  }
}

SharedEngine& EncoderList::shared() {
  if (!shared_) {
    shared_ = std::make_unique<SharedEngine>(clock_, supervise_);
  }
  return *shared_;
}

Result<std::vector<EncoderProcess>> start_encoder(const EncoderStartRequest& request,
                                                  ChildLauncher& launcher, Clock& clock) {
  std::vector<EncoderProcess> started;
  if (Status s = start_all(request, launcher, clock, started); !s) {
    stop_encoder(started, clock);
    return s.error();
  }
  return started;
}

void stop_encoder(std::vector<EncoderProcess>& outputs, Clock& clock,
                  std::chrono::milliseconds grace) {
  std::vector<EncoderProcess> taken = std::move(outputs);
  outputs.clear();
  std::vector<std::shared_ptr<SharedDestination>> shared;
  for (EncoderProcess& p : taken) {
    if (p.shared) {
      shared.push_back(std::move(p.shared));
    }
  }
  // Shared destinations close their encoding children's input with the
  // other pipes, before any waiting.
  std::optional<SharedStop> shared_stop;
  if (!shared.empty()) {
    shared_stop.emplace(std::move(shared));
  }
  for (EncoderProcess& p : taken) {
    if (p.feed) {
      p.feed->close_queue();
    }
  }
  const auto deadline = clock.now() + grace;
  // Each input closes as soon as its writer has put the queued feed in, so
  // a stuck output holds up no other child's end of input; a writer that
  // cannot finish is given up at the deadline.
  for (;;) {
    bool writing = false;
    for (EncoderProcess& p : taken) {
      if (p.feed && p.feed->settled()) {
        p.feed.reset();
      }
      writing = writing || p.feed;
    }
    if (!writing || clock.now() >= deadline) {
      break;
    }
    clock.sleep_for(STOP_POLL);
  }
  std::vector<std::unique_ptr<ChildHandle>> children;
  children.reserve(taken.size());
  for (EncoderProcess& p : taken) {
    children.push_back(std::move(p.child));
  }
  // Every input closes before any waiting for the children.
  taken.clear();

  for (auto& child : children) {
    if (!child) {
      continue;
    }
    for (;;) {
      if (child->try_wait()) {
        break;
      }
      if (clock.now() >= deadline) {
        child->kill();
        child->wait();
        break;
      }
      clock.sleep_for(STOP_POLL);
    }
  }
  if (shared_stop) {
    shared_stop->finish(clock, deadline);
  }
}

}  // namespace wf::bridge
