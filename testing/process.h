#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wf::testing {

/// Directory holding the built programs (`audio-bridge`, `plugin-host`, ...).
std::string binDir();
/// Path of a built program by name.
std::string binPath(const std::string& name);

struct SpawnOptions {
  /// Variables added to (or replacing in) the test's own environment.
  std::vector<std::pair<std::string, std::string>> env;
  /// Variables removed from the child's environment.
  std::vector<std::string> unsetEnv;
  std::string cwd;
  bool pipeStdin = true;
  bool pipeStdout = true;
  bool pipeStderr = true;
};

/// Exit of a child: exit code, or the signal that ended it.
struct ExitStatus {
  bool exited = false;
  int code = -1;
  int signal = 0;
};

/// A child process with optional pipes to its standard streams. The
/// destructor kills and reaps a child still running, so a failed assertion
/// never leaves programs behind.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  ~Child();

  /// Starts argv[0] (searched in PATH when it has no slash). Fails the
  /// calling test with an exception when the program cannot be started.
  static Child spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});

  int pid() const { return pid_; }
  int stdinFd() const { return in_; }
  int stdoutFd() const { return out_; }
  int stderrFd() const { return err_; }

  /// Writes all bytes to the child's standard input; false on failure.
  bool writeStdin(std::string_view bytes);
  void closeStdin();

  /// Reads one line (without its newline) from standard output, waiting at
  /// most `timeout`; nullopt at end of file or on time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  /// Reads exactly n bytes from standard output within `timeout`.
  std::optional<std::string> readBytes(size_t n, std::chrono::milliseconds timeout);
  /// Everything the child wrote to standard error so far (non-blocking drain).
  std::string drainStderr();
  /// Standard error up to end of file (call after the child has ended).
  std::string readStderrToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  /// Waits for the child to end; nullopt on time-out.
  std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
  /// Non-blocking: true while the child is running.
  bool running();
  void signal(int sig);
  /// SIGKILL and reap.
  void kill();

 private:
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
  std::optional<ExitStatus> status_;
};

/// Runs a command to its end and returns its standard output; the exit status
/// goes to `status` when given.
std::string runCommand(const std::vector<std::string>& argv, ExitStatus* status = nullptr,
                       const SpawnOptions& options = {});

/// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

/// A loopback TCP port taken by a listening socket for as long as the object
/// lives, for tests of a program that must find its port busy.
class HeldPort {
 public:
  HeldPort();
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace wf::testing
