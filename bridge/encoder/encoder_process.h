#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/encoder/child.h"
#include "bridge/encoder/payload.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// One running output: a destination served by one encoder child. The
/// record owns the child's input pipe and its handle; destroying it closes
/// the pipe and releases the handle without killing or waiting for the
/// child (only `stop_encoder` and the feed's failure path do that).
struct EncoderProcess {
  std::string id;
  std::string name;
  std::unique_ptr<ChildHandle> child;
  UniqueFd stdin_pipe;
  std::string log_path;
  /// Feed bytes written in full into the pipe since the launch.
  uint64_t bytes_received = 0;
};

/// The running outputs, in launch order. Owned by the dispatch loop and
/// touched by the dispatch thread only, so it takes no lock.
class EncoderList {
 public:
  std::vector<EncoderProcess>& processes() { return processes_; }

 private:
  std::vector<EncoderProcess> processes_;
};

/// Numbers the encoder log files of this process; never goes back.
extern std::atomic<uint64_t> LOG_SEQUENCE;

/// How long a stop waits, once for all its children, for them to end after
/// their input has closed.
inline constexpr std::chrono::milliseconds STOP_GRACE{2000};

/// Starts one encoder child per destination of `request`, in order, each
/// with its argument vector, input pipe and log file
/// "<tmp>/wrenfield-encoder-<pid>-<n>.log". Returns the new outputs, or the
/// failure text; on a failure the outputs already started by this call are
/// stopped first. Outputs running from earlier calls are not touched.
Result<std::vector<EncoderProcess>> start_encoder(const EncoderStartRequest& request,
                                                  ChildLauncher& launcher = process_launcher());

/// Stops every output in `outputs` and leaves it empty: closes all input
/// pipes first, then gives the children one shared `grace` period to end,
/// polling every 10 ms, and kills and reaps those still running once it is
/// over. Failing queries, kills and waits are ignored.
void stop_encoder(std::vector<EncoderProcess>& outputs,
                  std::chrono::milliseconds grace = STOP_GRACE);

}  // namespace wf::bridge
