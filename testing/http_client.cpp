#include "testing/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace wf::testing {

namespace {

using Clock = std::chrono::steady_clock;

bool iequals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

std::optional<std::string> HttpResponse::header(const std::string& name) const {
  for (auto& [k, v] : headers) {
    if (iequals(k, name)) return v;
  }
  return std::nullopt;
}

HttpConnection::HttpConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

HttpConnection::~HttpConnection() { close(); }

void HttpConnection::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void HttpConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool HttpConnection::sendRaw(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool HttpConnection::send(const std::string& method, const std::string& target,
                          const std::string& body,
                          const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  bool hasLength = false;
  for (auto& [k, v] : headers) {
    req += k + ": " + v + "\r\n";
    hasLength = hasLength || iequals(k, "content-length") || iequals(k, "transfer-encoding");
  }
  if (!hasLength && (!body.empty() || method == "POST")) {
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  req += "\r\n";
  return sendRaw(req + body);
}

bool HttpConnection::fill(Clock::time_point deadline) {
  if (fd_ < 0) return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) return false;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

bool HttpConnection::closedByPeer(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) return false;
    char c[4096];
    ssize_t n = ::recv(fd_, c, sizeof c, 0);
    if (n <= 0) return true;
    buffer_.append(c, static_cast<size_t>(n));
  }
  return false;
}

std::optional<HttpResponse> HttpConnection::read(bool headRequest,
                                                 std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill(deadline)) return std::nullopt;
  }
  HttpResponse r;
  r.rawHead = buffer_.substr(0, end + 4);
  buffer_.erase(0, end + 4);
  size_t lineEnd = r.rawHead.find("\r\n");
  std::string statusLine = r.rawHead.substr(0, lineEnd);
  auto sp = statusLine.find(' ');
  r.status = std::atoi(statusLine.c_str() + sp + 1);
  size_t pos = lineEnd + 2;
  while (pos < r.rawHead.size() - 2) {
    size_t e = r.rawHead.find("\r\n", pos);
    std::string line = r.rawHead.substr(pos, e - pos);
    auto colon = line.find(':');
    r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    pos = e + 2;
  }
  if (headRequest || r.status / 100 == 1 || r.status == 204 || r.status == 304) {
    return r;
  }
  auto te = r.header("transfer-encoding");
  if (te && iequals(*te, "chunked")) {
    for (;;) {
      size_t le;
      while ((le = buffer_.find("\r\n")) == std::string::npos) {
        if (!fill(deadline)) return std::nullopt;
      }
      size_t n = std::strtoul(buffer_.c_str(), nullptr, 16);
      buffer_.erase(0, le + 2);
      while (buffer_.size() < n + 2) {
        if (!fill(deadline)) return std::nullopt;
      }
      r.body += buffer_.substr(0, n);
      buffer_.erase(0, n + 2);
      if (n == 0) return r;
    }
  }
  size_t length = 0;
  if (auto cl = r.header("content-length")) {
    length = std::strtoul(cl->c_str(), nullptr, 10);
  } else {
    while (fill(deadline)) {
    }
    length = buffer_.size();
  }
  while (buffer_.size() < length) {
    if (!fill(deadline)) return std::nullopt;
  }
  r.body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return r;
}

std::optional<HttpResponse> httpRequest(
    int port, const std::string& method, const std::string& target, const std::string& body,
    const std::vector<std::pair<std::string, std::string>>& headers,
    std::chrono::milliseconds timeout) {
  HttpConnection c(port);
  if (!c.connected() || !c.send(method, target, body, headers)) return std::nullopt;
  return c.read(method == "HEAD", timeout);
}

}  // namespace wf::testing
