// Scanner children on Linux: posix_spawn with the message pipe as descriptor
// 3, and a pidfd so the main loop can sleep until the child ends.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "hosting/module.h"
#include "scan/scan_child.h"

extern char** environ;

namespace wf::host {

namespace {

// The scanner finds its message pipe here.
constexpr int MESSAGE_FD = 3;

std::string scannerPath() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) {
    return "plugin-host-scanner";
  }
  std::string self(buffer.data(), static_cast<size_t>(n));
  return self.substr(0, self.find_last_of('/') + 1) + "plugin-host-scanner";
}

// A descriptor above the standard three and the message slot, so the spawn's
// file actions never move a descriptor onto itself.
int lifted(int fd) {
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return high;
}

class LinuxScanChild final : public ScanChild {
 public:
  LinuxScanChild(pid_t pid, int messageFd, int endFd)
      : pid_(pid), messageFd_(messageFd), endFd_(endFd) {}
  ~LinuxScanChild() override {
    if (pid_ > 0) {
      kill();
    }
    ::close(messageFd_);
    if (endFd_ >= 0) {
      ::close(endFd_);
    }
  }

  int messageFd() const override { return messageFd_; }
  int endFd() const override { return endFd_; }

  bool readMessage(std::string& message) override {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(messageFd_, buffer, sizeof buffer);
      if (n > 0) {
        message.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return n == 0;
    }
  }

  std::optional<ChildEnd> reap() override {
    if (pid_ <= 0) {
      return end_;
    }
    int status = 0;
    pid_t done;
    do {
      done = ::waitpid(pid_, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) {
      return std::nullopt;
    }
    pid_ = -1;
    end_ = ChildEnd{};
    if (done > 0 && WIFSIGNALED(status)) {
      end_->signal = WTERMSIG(status);
    } else if (done > 0 && WIFEXITED(status)) {
      end_->status = WEXITSTATUS(status);
    }
    return end_;
  }

  void kill() override {
    if (pid_ <= 0) {
      return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    end_ = ChildEnd{SIGKILL, 0};
  }

 private:
  pid_t pid_;
  int messageFd_;
  int endFd_;
  std::optional<ChildEnd> end_;
};

class LinuxScanPlatform final : public ScanPlatform {
 public:
  std::unique_ptr<ScanChild> launch(const std::string& path, std::string& error) override {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
      error = std::string("Plug-in scanner could not be started: ") + std::strerror(errno);
      return nullptr;
    }
    const int readEnd = lifted(pipeFds[0]);
    const int writeEnd = lifted(pipeFds[1]);
    ::fcntl(readEnd, F_SETFL, O_NONBLOCK);

    // The child reads nothing, and whatever a plug-in prints goes to our
    // standard error: our standard output carries the replies.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, MESSAGE_FD);
    // We ignore SIGPIPE; the scanner gets the default back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    const std::string program = scannerPath();
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()),
                               nullptr};
    pid_t pid = -1;
    const int failed =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(writeEnd);
    if (failed != 0) {
      ::close(readEnd);
      error = "Plug-in scanner could not be started: " + program + ": " + std::strerror(failed);
      return nullptr;
    }
    const int endFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return std::make_unique<LinuxScanChild>(pid, readEnd, endFd);
  }

  std::optional<ModuleStamp> stamp(const std::string& path) override {
    std::string library;
    std::string error;
    if (!hosting::moduleLibraryPath(path, library, error)) {
      return std::nullopt;
    }
    struct stat info {};
    if (::stat(library.c_str(), &info) != 0) {
      return std::nullopt;
    }
    return ModuleStamp{
        static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
        static_cast<int64_t>(info.st_size),
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
  }

  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

std::unique_ptr<ScanPlatform> makeScanPlatform() {
  return std::make_unique<LinuxScanPlatform>();
}

}  // namespace wf::host
