#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

/// An owned file descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd_, -1));
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

/// How a child ended: its exit code when it exited normally, nothing when a
/// signal ended it.
struct ChildExit {
  std::optional<int> code;
};

/// Handle on one started child process: its process ID and, once collected,
/// its exit. Destroying the handle neither kills nor waits for the child.
class ChildHandle {
 public:
  virtual ~ChildHandle() = default;

  virtual int pid() const = 0;
  /// Non-blocking status query. The first query that sees the exit collects
  /// (reaps) it and every later query returns the same; nothing while the
  /// child runs or when the query fails.
  virtual std::optional<ChildExit> try_wait() = 0;
  /// Sends SIGKILL unless the exit was already collected.
  virtual void kill() = 0;
  /// Blocks until the child has ended and collects its exit.
  virtual void wait() = 0;
};

/// Kills and reaps `child`, if there is one: for a child that must not run
/// on without an owner.
void kill_and_reap(const std::unique_ptr<ChildHandle>& child);

/// A started encoder child and the write end of its input pipe; for a child
/// started by `launch_reading`, also the read ends of its output pipes.
struct LaunchedChild {
  std::unique_ptr<ChildHandle> child;
  UniqueFd stdin_pipe;
  UniqueFd stdout_pipe = UniqueFd();
  UniqueFd extra_pipe = UniqueFd();
};

/// Starts encoder children. The seam lets tests run the encoder logic
/// without processes.
class ChildLauncher {
 public:
  virtual ~ChildLauncher() = default;
  /// Starts `program` (searched in PATH when it has no slash) with `args`
  /// after the program name: standard input a new pipe, standard output the
  /// null device, standard error `stderr_fd`, SIGPIPE at its default. Fails
  /// with the system's reason when the child cannot be started.
  virtual Result<LaunchedChild> launch(const std::string& program,
                                       const std::vector<std::string>& args, int stderr_fd) = 0;
  /// Starts `program` like `launch`, except that its standard output is a
  /// new pipe whose read end comes back as `stdout_pipe`, and, when
  /// `with_fd3`, descriptor 3 of the child is the write end of one more
  /// pipe, read through `extra_pipe`. Read ends are close-on-exec and
  /// blocking.
  virtual Result<LaunchedChild> launch_reading(const std::string& program,
                                               const std::vector<std::string>& args, int stderr_fd,
                                               bool with_fd3) = 0;
  /// Starts `program` with `args` and all three standard streams on the
  /// null device, SIGPIPE at its default; for a child whose output is only
  /// its exit status. Fails with the system's reason.
  virtual Result<std::unique_ptr<ChildHandle>> launch_quiet(
      const std::string& program, const std::vector<std::string>& args) = 0;
};

/// The launcher that starts real processes with posix_spawn.
ChildLauncher& process_launcher();

/// Creates (or truncates) the log file at `path` for writing, close-on-exec,
/// with permission bits 0600. The log names publishing URLs with their stream
/// keys, so the file is never opened through a symbolic link and must be a
/// regular file of this user. Fails with the system's description of the
/// error.
Result<UniqueFd> create_log_file(const std::string& path);

}  // namespace wf::bridge
