#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/core/clock.h"
#include "bridge/encoder/child.h"
#include "bridge/encoder/feed_writer.h"
#include "bridge/encoder/payload.h"
#include "bridge/http/error.h"

namespace wf::bridge {

class SharedDestination;
class SharedEngine;

/// One running output: a destination served by one encoder child. The
/// record owns the child's handle and, through its feed writer, the child's
/// input pipe; destroying it ends the writer, closes the pipe and releases
/// the handle without killing or waiting for the child (only `stop_encoder`
/// and the feed's failure path do that).
struct EncoderProcess {
  std::string id;
  std::string name;
  std::unique_ptr<ChildHandle> child;
  std::unique_ptr<FeedWriter> feed;
  std::string log_path;
  /// Set for a destination of shared mode, which has no child or feed of
  /// its own here: its publishing child and its encoding child live in the
  /// shared engine.
  std::shared_ptr<SharedDestination> shared = nullptr;

  /// Feed bytes written in full into the pipe since the launch.
  uint64_t bytes_received() const { return feed ? feed->bytes_received() : 0; }
};

/// The running outputs, in launch order. Owned by the dispatch loop and
/// touched by the dispatch thread only, so it takes no lock. The shared
/// engine behind destinations of shared mode is made with the first of
/// them, timed by `clock`.
class EncoderList {
 public:
  explicit EncoderList(Clock& clock = steady_clock(), bool supervise = true);
  /// Stops the destinations of shared mode (their threads end with them);
  /// the other outputs are only released, as their records say.
  ~EncoderList();
  EncoderList(const EncoderList&) = delete;
  EncoderList& operator=(const EncoderList&) = delete;

  std::vector<EncoderProcess>& processes() { return processes_; }
  SharedEngine& shared();

 private:
  Clock& clock_;
  bool supervise_;
  std::unique_ptr<SharedEngine> shared_;
  std::vector<EncoderProcess> processes_;
};

/// A child and the writer that feeds its input pipe.
struct FedChild {
  std::unique_ptr<ChildHandle> child;
  std::unique_ptr<FeedWriter> feed;
};

/// Launches `program` with `args`, its output going to `log_fd`, and starts
/// a feed writer on its input pipe, timed by `clock`. `name` names the
/// destination in the failure texts. A child whose input cannot be fed is
/// killed and reaped here, so that none runs without an owner.
Result<FedChild> launch_fed_child(ChildLauncher& launcher, const std::string& program,
                                  const std::vector<std::string>& args, int log_fd,
                                  const std::string& name, Clock& clock);

/// Numbers the encoder log files of this process; never goes back.
extern std::atomic<uint64_t> LOG_SEQUENCE;

/// A fresh log path "<tmp>/wrenfield-encoder-<pid>-<n>.log", taking n
/// from LOG_SEQUENCE.
std::string next_log_path();

/// How long a stop waits, once for all its children, for them to end after
/// their input has closed.
inline constexpr std::chrono::milliseconds STOP_GRACE{2000};

/// How often a stop looks again at writers and children it waits for.
inline constexpr std::chrono::milliseconds STOP_POLL{10};

/// Starts one encoder child per destination of `request`, in order, each
/// with its argument vector, log file "<tmp>/wrenfield-encoder-<pid>-<n>.log"
/// and a feed writer on its input pipe, timed by `clock`. Returns the new
/// outputs, or the failure text; on a failure the outputs already started by
/// this call are stopped first. Outputs running from earlier calls are not
/// touched.
Result<std::vector<EncoderProcess>> start_encoder(const EncoderStartRequest& request,
                                                  ChildLauncher& launcher = process_launcher(),
                                                  Clock& clock = steady_clock());

/// Stops every output in `outputs` and leaves it empty. One `grace` period
/// on `clock` covers the whole call: the writers take no more chunks and
/// put what is queued into their pipes, each pipe closing as soon as its
/// writer is done (or at the end of the grace, for a writer that cannot
/// finish); once all are closed the children get the rest of the grace to
/// end, polled every STOP_POLL, and those still running are then killed and
/// reaped in order. Failing queries, kills and waits are ignored.
void stop_encoder(std::vector<EncoderProcess>& outputs, Clock& clock = steady_clock(),
                  std::chrono::milliseconds grace = STOP_GRACE);

}  // namespace wf::bridge
