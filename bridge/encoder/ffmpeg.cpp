#include "bridge/encoder/ffmpeg.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace wf::bridge {

namespace {

bool regular_file(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool blank(const char* s) {
  for (; *s; ++s) {
    if (!std::isspace(static_cast<unsigned char>(*s))) {
      return false;
    }
  }
  return true;
}

std::string own_directory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

std::string resolve_ffmpeg() {
  if (const char* env = std::getenv("FFMPEG_PATH"); env && !blank(env)) {
    return env;
  }
  if (std::string dir = own_directory(); !dir.empty() && regular_file(dir + "/ffmpeg")) {
    return dir + "/ffmpeg";
  }
  for (const char* candidate : {"/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg"}) {
    if (regular_file(candidate)) {
      return candidate;
    }
  }
  return "ffmpeg";
}

bool probe_ffmpeg(const std::string& program, std::chrono::milliseconds limit) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // Only the three standard streams: no client socket or encoder pipe of the
  // bridge may stay open in the probe.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The bridge ignores SIGPIPE; its children start with the default.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("-version"),
                             nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (r < 0 && errno != EINTR) {
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // A hung probe must not hold the dispatch thread for ever.
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool ffmpeg_ready() {
  static const bool ready = probe_ffmpeg(resolve_ffmpeg());
  return ready;
}

}  // namespace wf::bridge
