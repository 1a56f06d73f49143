#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace wf::testing {

/// A tiny web server on 127.0.0.1 (an ephemeral port) that answers every
/// request with one fixed HTML page, so that a browser test has a page of a
/// loopback origin of its own. Serves on a thread of its own until destroyed.
class PageServer {
 public:
  explicit PageServer(std::string html);
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;
  ~PageServer();

  int port() const { return port_; }
  /// "http://127.0.0.1:<port>", the origin of the page.
  std::string origin() const;

 private:
  void serve();

  std::string html_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace wf::testing
