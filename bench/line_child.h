#pragma once

// A benchmark's child program on two pipes, spoken to in lines: the
// plugin-host benchmarks start the program this way and read its replies
// without the test helpers (benchmarks link no test framework).

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace wf::bench {

class LineChild {
 public:
  /// Starts argv[0] (searched in PATH) with `environment` entries
  /// ("NAME=value") added to ours. Without `pipes` the child keeps our
  /// standard streams and is ended with SIGTERM instead of end of input.
  explicit LineChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& environment = {}, bool pipes = true) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipes && (::pipe(in) != 0 || ::pipe(out) != 0)) {
      throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      if (pipes) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close(in[1]);
        ::close(out[0]);
      }
      for (const auto& entry : environment) {
        ::putenv(const_cast<char*>(entry.c_str()));
      }
      std::vector<char*> args;
      for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
      }
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    if (pipes) {
      ::close(in[0]);
      ::close(out[1]);
      to_ = in[1];
      from_ = out[0];
    }
  }
  /// Ends the child (end of input, or SIGTERM without pipes) and reaps it.
  ~LineChild() {
    if (to_ >= 0) {
      ::close(to_);
    } else if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
    }
    int status = 0;
    if (pid_ > 0) {
      ::waitpid(pid_, &status, 0);
    }
    if (from_ >= 0) {
      ::close(from_);
    }
  }
  LineChild(const LineChild&) = delete;
  LineChild& operator=(const LineChild&) = delete;

  pid_t pid() const { return pid_; }

  /// Writes all of `bytes` to the child's standard input.
  void write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(to_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        throw std::runtime_error("write to the child failed");
      }
      done += static_cast<size_t>(n);
    }
  }

  /// The next line of the child's standard output, without its newline.
  std::string readLine() {
    std::optional<std::string> line;
    while (!(line = readLine(-1))) {
    }
    return *line;
  }

  /// The next line, or nothing when none has come within `timeoutMs`
  /// milliseconds (-1: no limit).
  std::optional<std::string> readLine(int timeoutMs) {
    for (;;) {
      const size_t feed = buffer_.find('\n', scanned_);
      if (feed != std::string::npos) {
        std::string line = buffer_.substr(0, feed);
        buffer_.erase(0, feed + 1);
        scanned_ = 0;
        return line;
      }
      scanned_ = buffer_.size();
      pollfd ready{from_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, timeoutMs);
      if (polled == 0) {
        return std::nullopt;
      }
      if (polled < 0) {
        continue;
      }
      char chunk[65536];
      const ssize_t n = ::read(from_, chunk, sizeof chunk);
      if (n <= 0) {
        throw std::runtime_error("the child ended");
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  /// Ends the child's input and waits at most `timeoutMs` milliseconds for
  /// it to exit, then kills it (SIGKILL); returns the wait status. The
  /// destructor then has nothing left to do.
  int finish(int timeoutMs) {
    if (to_ >= 0) {
      ::close(to_);
      to_ = -1;
    }
    int status = 0;
    for (int waited = 0; ::waitpid(pid_, &status, WNOHANG) == 0; waited += 10) {
      if (waited >= timeoutMs) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      ::usleep(10000);
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffer_;
  size_t scanned_ = 0;  // bytes of buffer_ known to hold no newline
};

}  // namespace wf::bench
