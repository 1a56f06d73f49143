#include "bridge/encoder/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace wf::bridge {

namespace {

std::string system_error(int err) {
  return std::strerror(err);
}

ChildExit decode(int raw) {
  if (WIFEXITED(raw)) {
    return {WEXITSTATUS(raw)};
  }
  return {std::nullopt};
}

class ProcessChild : public ChildHandle {
 public:
  explicit ProcessChild(pid_t pid) : pid_(pid) {}

  int pid() const override { return pid_; }

  std::optional<ChildExit> try_wait() override {
    if (!exit_) {
      int raw = 0;
      pid_t r;
      do {
        r = ::waitpid(pid_, &raw, WNOHANG);
      } while (r < 0 && errno == EINTR);
      if (r == pid_) {
        exit_ = decode(raw);
      }
    }
    return exit_;
  }

  void kill() override {
    // Once collected, the process ID may already belong to someone else.
    if (!exit_) {
      ::kill(pid_, SIGKILL);
    }
  }

  void wait() override {
    if (exit_) {
      return;
    }
    int raw = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &raw, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
      exit_ = decode(raw);
    }
  }

 private:
  pid_t pid_;
  std::optional<ChildExit> exit_;
};

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

// Starts `program` with the descriptors below `keep_below` that `setup`
// already arranges (the standard streams, unless told otherwise); nothing
// past them reaches the child.
Result<pid_t> spawn(const std::string& program, const std::vector<std::string>& args,
                    SpawnSetup& setup, int keep_below = 3) {
  // The bridge opens its own descriptors close-on-exec, but the HTTP
  // library's sockets are not: nothing past the standard streams may reach
  // the child, or a client connection would outlive the bridge's close.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, keep_below);
  // The bridge ignores SIGPIPE; its children start with the default.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc =
      ::posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) {
    return Error(system_error(rc));
  }
  return pid;
}

class ProcessLauncher : public ChildLauncher {
 public:
  Result<LaunchedChild> launch(const std::string& program, const std::vector<std::string>& args,
                               int stderr_fd) override {
    // Both ends are close-on-exec: no child may hold another child's input,
    // or closing that input would never reach its reader.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Error(system_error(errno));
    }
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    // A larger pipe lets one feed chunk pass in fewer rounds; best effort.
    ::fcntl(write_end.get(), F_SETPIPE_SZ, 1 << 20);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, read_end.get(), 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, stderr_fd, 2);
    auto pid = spawn(program, args, setup);
    if (!pid) {
      return pid.error();
    }
    return LaunchedChild{std::make_unique<ProcessChild>(*pid), std::move(write_end)};
  }

  Result<LaunchedChild> launch_reading(const std::string& program,
                                       const std::vector<std::string>& args, int stderr_fd,
                                       bool with_fd3) override {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Error(system_error(errno));
    }
    UniqueFd in_read(fds[0]);
    UniqueFd in_write(fds[1]);
    ::fcntl(in_write.get(), F_SETPIPE_SZ, 1 << 20);
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return Error(system_error(errno));
    }
    UniqueFd out_read(fds[0]);
    UniqueFd out_write(fds[1]);
    // The encoded stream comes in bursts at each keyframe.
    ::fcntl(out_write.get(), F_SETPIPE_SZ, 1 << 20);
    UniqueFd extra_read;
    UniqueFd extra_write;
    if (with_fd3) {
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        return Error(system_error(errno));
      }
      extra_read.reset(fds[0]);
      extra_write.reset(fds[1]);
    }

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&setup.actions, stderr_fd, 2);
    if (extra_write.valid()) {
      posix_spawn_file_actions_adddup2(&setup.actions, extra_write.get(), 3);
    }
    auto pid = spawn(program, args, setup, extra_write.valid() ? 4 : 3);
    if (!pid) {
      return pid.error();
    }
    // The write ends close here, so the read ends see the end of the
    // stream once the child has gone.
    return LaunchedChild{std::make_unique<ProcessChild>(*pid), std::move(in_write),
                         std::move(out_read), std::move(extra_read)};
  }

  Result<std::unique_ptr<ChildHandle>> launch_quiet(const std::string& program,
                                                    const std::vector<std::string>& args) override {
    SpawnSetup setup;
    for (int fd = 0; fd < 3; ++fd) {
      posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                       fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    auto pid = spawn(program, args, setup);
    if (!pid) {
      return pid.error();
    }
    return std::unique_ptr<ChildHandle>(std::make_unique<ProcessChild>(*pid));
  }
};

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

ChildLauncher& process_launcher() {
  static ProcessLauncher launcher;
  return launcher;
}

void kill_and_reap(const std::unique_ptr<ChildHandle>& child) {
  if (child) {
    child->kill();
    child->wait();
  }
}

Result<UniqueFd> create_log_file(const std::string& path) {
  // O_NOFOLLOW refuses a symbolic link at the path; O_NONBLOCK keeps a FIFO
  // planted there from blocking the open.
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!fd.valid()) {
    return Error(system_error(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return Error(system_error(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    return Error(system_error(EINVAL));
  }
  // A file left from before keeps its mode on truncation; another user's
  // file cannot be changed and is refused.
  if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) {
    return Error(system_error(errno));
  }
  if (st.st_uid != ::geteuid()) {
    return Error(system_error(EPERM));
  }
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) {
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  return fd;
}

}  // namespace wf::bridge
