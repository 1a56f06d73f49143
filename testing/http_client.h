#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wf::testing {

/// A parsed HTTP/1.1 response as a test sees it.
struct HttpResponse {
  int status = 0;
  /// Header names and values in the order received.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  /// The bytes of the header block, status line included.
  std::string rawHead;

  /// First value of a header, compared without regard to ASCII case.
  std::optional<std::string> header(const std::string& name) const;
};

/// One keep-alive client connection to 127.0.0.1:port. Requests are framed
/// with Content-Length unless the caller writes raw bytes itself.
class HttpConnection {
 public:
  explicit HttpConnection(int port);
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  ~HttpConnection();

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  /// Sends raw bytes as they stand.
  bool sendRaw(const std::string& bytes);
  /// Sends one request with the given extra headers and body.
  bool send(const std::string& method, const std::string& target, const std::string& body = {},
            const std::vector<std::pair<std::string, std::string>>& headers = {});
  /// Reads one response; `headRequest` when it answers a HEAD (no body).
  std::optional<HttpResponse> read(bool headRequest = false,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
  /// True when the server has closed the connection (reads end of file).
  bool closedByPeer(std::chrono::milliseconds timeout);
  /// Ends the client's sending side; the connection stays open for reading.
  void shutdownWrite();
  void close();

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  std::string buffer_;
};

/// One request on a fresh connection.
std::optional<HttpResponse> httpRequest(
    int port, const std::string& method, const std::string& target, const std::string& body = {},
    const std::vector<std::pair<std::string, std::string>>& headers = {},
    std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace wf::testing
