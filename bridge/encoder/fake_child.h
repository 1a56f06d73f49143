#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge/encoder/child.h"

namespace wf::bridge {

/// What fake children and launches were asked to do, in order:
/// "launch <program>", "kill <pid>", "wait <pid>".
using FakeEventLog = std::shared_ptr<std::vector<std::string>>;

/// A child that is not a process: it runs until `exit_after_polls` status
/// queries have been made (never when negative) or until it is killed, and
/// records kills and waits in the shared log.
class FakeChild : public ChildHandle {
 public:
  FakeChild(int pid, FakeEventLog log) : pid_(pid), log_(std::move(log)) {}

  int exit_after_polls = -1;
  ChildExit exit_as{0};
  /// Set (from any thread) to make the child exit with `exit_as` at the next
  /// status query.
  std::shared_ptr<std::atomic<bool>> end_now = std::make_shared<std::atomic<bool>>(false);
  /// Write ends of the child's output pipes, closed when it ends, as a
  /// process's are.
  std::vector<std::shared_ptr<UniqueFd>> outputs;

  int pid() const override { return pid_; }
  std::optional<ChildExit> try_wait() override {
    if (!exit_ && ((exit_after_polls >= 0 && polls_++ >= exit_after_polls) || *end_now)) {
      exit_ = exit_as;
      close_outputs();
    }
    return exit_;
  }
  void kill() override {
    log_->push_back("kill " + std::to_string(pid_));
    if (!exit_) {
      exit_ = ChildExit{};
    }
    close_outputs();
  }
  void wait() override { log_->push_back("wait " + std::to_string(pid_)); }

 private:
  void close_outputs() {
    for (auto& fd : outputs) {
      fd->reset();
    }
  }

  int pid_;
  FakeEventLog log_;
  int polls_ = 0;
  std::optional<ChildExit> exit_;
};

/// A launcher of fake children. Each launch gets a real pipe whose read end
/// the launcher keeps (so writes succeed until `close_reader`), and the next
/// process ID from 100. `on_launch` may refuse a launch or adjust the child.
class FakeLauncher : public ChildLauncher {
 public:
  explicit FakeLauncher(FakeEventLog log = std::make_shared<std::vector<std::string>>())
      : log(std::move(log)) {}

  FakeEventLog log;
  std::function<Status(FakeChild&)> on_launch;
  std::vector<std::vector<std::string>> launched_args;
  std::vector<UniqueFd> readers;
  /// Each fake child's `end_now` switch, by process ID.
  std::map<int, std::shared_ptr<std::atomic<bool>>> end_switches;
  /// Launches hand back no input pipe.
  bool without_stdin = false;

  Result<LaunchedChild> launch(const std::string& program, const std::vector<std::string>& args,
                               int) override {
    auto child = make_child(program, args);
    if (!child) {
      return child.error();
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Error("pipe failed");
    }
    readers.emplace_back(fds[0]);
    UniqueFd write_end(fds[1]);
    if (without_stdin) {
      write_end.reset();
    }
    return LaunchedChild{std::move(*child), std::move(write_end)};
  }

  /// The write ends of the output pipes of `launch_reading`, by process
  /// ID: a test writes the child's output through them, and closes them to
  /// end that output.
  std::map<int, std::shared_ptr<UniqueFd>> stdout_writers;
  std::map<int, std::shared_ptr<UniqueFd>> extra_writers;

  Result<LaunchedChild> launch_reading(const std::string& program,
                                       const std::vector<std::string>& args, int stderr_fd,
                                       bool with_fd3) override {
    auto launched = launch(program, args, stderr_fd);
    if (!launched) {
      return launched;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Error("pipe failed");
    }
    auto* child = static_cast<FakeChild*>(launched->child.get());
    launched->stdout_pipe.reset(fds[0]);
    auto out = std::make_shared<UniqueFd>(fds[1]);
    stdout_writers[child->pid()] = out;
    child->outputs.push_back(out);
    if (with_fd3) {
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        return Error("pipe failed");
      }
      launched->extra_pipe.reset(fds[0]);
      auto extra = std::make_shared<UniqueFd>(fds[1]);
      extra_writers[child->pid()] = extra;
      child->outputs.push_back(extra);
    }
    return launched;
  }

  Result<std::unique_ptr<ChildHandle>> launch_quiet(const std::string& program,
                                                    const std::vector<std::string>& args) override {
    auto child = make_child(program, args);
    if (!child) {
      return child.error();
    }
    return std::unique_ptr<ChildHandle>(std::move(*child));
  }

 private:
  // Records the launch and lets the script fail it or shape the child.
  Result<std::unique_ptr<FakeChild>> make_child(const std::string& program,
                                                const std::vector<std::string>& args) {
    log->push_back("launch " + program);
    auto child = std::make_unique<FakeChild>(100 + static_cast<int>(launched_args.size()), log);
    launched_args.push_back(args);
    end_switches[child->pid()] = child->end_now;
    if (on_launch) {
      if (Status s = on_launch(*child); !s) {
        return s.error();
      }
    }
    return child;
  }
};

}  // namespace wf::bridge
