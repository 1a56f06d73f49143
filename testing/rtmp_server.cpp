#include "testing/rtmp_server.h"

#include <filesystem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "testing/wait_for.h"

namespace wf::testing {

namespace {

bool accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

RtmpServer::RtmpServer() {
  ::mkdir(dir_.file("rec").c_str(), 0755);
  ::mkdir(dir_.file("logs").c_str(), 0755);
  // A port can be taken between the probe and nginx's bind: try a few.
  for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
    port_ = freePort();
    dir_.write("nginx.conf",
               "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
               "daemon off;\n"
               "master_process off;\n"
               "pid " +
                   dir_.file("nginx.pid") +
                   ";\n"
                   "error_log " +
                   dir_.file("logs/error.log") +
                   " info;\n"
                   "events { worker_connections 64; }\n"
                   "rtmp { server { listen 127.0.0.1:" +
                   std::to_string(port_) +
                   ";\n"
                   "  application live { live on; record all; record_path " +
                   dir_.file("rec") + "; record_unique off; } } }\n");
    ready_ = launch();
  }
}

bool RtmpServer::launch() {
  SpawnOptions o;
  o.pipeStdin = false;
  o.pipeStdout = false;
  o.pipeStderr = false;
  daemon_ = Child::spawn({"nginx", "-p", dir_.path(), "-c", dir_.file("nginx.conf"), "-e",
                          dir_.file("logs/error.log")},
                         o);
  // An nginx that exits (say, the port was taken meanwhile) ends the wait
  // at once.
  bool up = false;
  waitFor(
      [&] {
        up = accepts(port_);
        return up || !daemon_.running();
      },
      std::chrono::seconds(10), "nginx to accept RTMP connections");
  if (!up) {
    daemon_.kill();
  }
  return up;
}

void RtmpServer::kill() {
  daemon_.kill();
  ready_ = false;
}

bool RtmpServer::restart() {
  daemon_.kill();
  // The port was ours a moment ago; it may still be in TIME_WAIT on the
  // client side only, which does not stop a listener with SO_REUSEADDR.
  for (int attempt = 0; attempt < 20 && !ready_; ++attempt) {
    ready_ = launch();
  }
  return ready_;
}

RtmpServer::~RtmpServer() {
  daemon_.kill();
}

std::string RtmpServer::url(const std::string& key) const {
  return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + key;
}

std::string RtmpServer::recording(const std::string& key) const {
  return dir_.file("rec/" + key + ".flv");
}

std::string RtmpServer::log() const {
  return readFile(dir_.file("logs/error.log"));
}

bool RtmpServer::recordingOpen(const std::string& key) const {
  const std::string path = recording(key);
  std::error_code ec;
  for (const auto& e :
       std::filesystem::directory_iterator("/proc/" + std::to_string(daemon_.pid()) + "/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(e.path(), link_ec).string() == path) {
      return true;
    }
  }
  return false;
}

}  // namespace wf::testing
