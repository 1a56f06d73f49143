#pragma once

// A private nginx-rtmp for the benchmarks, which are standalone programs
// built without the test library: its own directory, configuration and
// recordings (`<dir>/rec/<key>.flv`), on a fixed loopback port, so that it
// can be killed as a crash would and started again where its publishers
// look for it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "loopback.h"

extern char** environ;

namespace wf::bench {

class RtmpPeer {
 public:
  /// Starts nginx in `dir` (created) on a free port; `ready()` says whether
  /// it accepts connections.
  explicit RtmpPeer(const std::string& dir) : dir_(dir) {
    std::filesystem::create_directories(dir_ + "/rec");
    std::filesystem::create_directories(dir_ + "/logs");
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
      port_ = free_port();
      std::ofstream(dir_ + "/nginx.conf")
          << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
          << "daemon off;\nmaster_process off;\n"
          << "pid " << dir_ << "/nginx.pid;\n"
          << "error_log " << dir_ << "/logs/error.log info;\n"
          << "events { worker_connections 64; }\n"
          << "rtmp { server { listen 127.0.0.1:" << port_ << ";\n"
          << "  application live { live on; record all; record_path " << dir_
          << "/rec; record_unique off; } } }\n";
      ready_ = launch();
    }
  }
  ~RtmpPeer() { kill(); }
  RtmpPeer(const RtmpPeer&) = delete;
  RtmpPeer& operator=(const RtmpPeer&) = delete;

  bool ready() const { return ready_; }
  std::string url(const std::string& key) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + key;
  }
  std::string recording(const std::string& key) const { return dir_ + "/rec/" + key + ".flv"; }

  /// Kills nginx with SIGKILL: its publishers lose their connections.
  void kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    ready_ = false;
  }
  /// Starts nginx again on the same port; true once it accepts connections.
  bool restart() {
    kill();
    for (int attempt = 0; attempt < 20 && !ready_; ++attempt) {
      ready_ = launch();
    }
    return ready_;
  }

 private:
  bool launch() {
    const std::string conf = dir_ + "/nginx.conf";
    const std::string log = dir_ + "/logs/error.log";
    const char* argv[] = {"nginx",      "-p", dir_.c_str(), "-c",
                          conf.c_str(), "-e", log.c_str(),  nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int rc =
        ::posix_spawnp(&pid_, "nginx", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    // Up when it accepts; gone when it exited (say, the port was taken).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (port_open(port_)) {
        return true;
      }
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    return false;
  }

  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace wf::bench
