#include "testing/page_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace wf::testing {

namespace {

void sendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    off += static_cast<size_t>(n);
  }
}

// Reads the request head (the pages are fetched with GET and no body).
std::string readHead(int fd) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0)
      break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      break;
    head.append(buf, static_cast<size_t>(n));
  }
  return head;
}

}  // namespace

PageServer::PageServer(std::string html) : html_(std::move(html)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd_, 16) != 0) {
    throw std::runtime_error("page server cannot listen");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

PageServer::~PageServer() {
  stopping_ = true;
  thread_.join();
  ::close(fd_);
}

std::string PageServer::origin() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void PageServer::serve() {
  while (!stopping_) {
    // Short polls keep the destructor's wait short without a wake-up pipe.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0)
      continue;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
      continue;
    const std::string head = readHead(c);
    const bool page = head.rfind("GET / ", 0) == 0 || head.rfind("GET /index.html ", 0) == 0;
    const std::string body = page ? html_ : std::string();
    sendAll(c, std::string(page ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                   "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    ::close(c);
  }
}

}  // namespace wf::testing
