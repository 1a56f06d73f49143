#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "bridge/http/request.h"

namespace wf::bridge {

/// Bounds the HTTP facility enforces on its own, before any handler runs.
struct HttpLimits {
  /// A larger header block is answered 431 and the connection closed.
  size_t header_limit = 64 * 1024;
  /// A larger body is answered 413 and the connection closed.
  uint64_t body_limit = 256ull * 1024 * 1024;
  /// A connection with no request traffic for this long is closed.
  std::chrono::milliseconds idle_timeout = std::chrono::seconds(60);
  /// A reply the client does not take within this long is a failed write.
  std::chrono::milliseconds write_timeout = std::chrono::seconds(10);
  /// Threads that accept, read and frame connections.
  unsigned io_threads = 1;
};

/// One whole request as the framer took it off the connection.
struct FramedRequest {
  std::string method;
  std::string target;
  HeaderList headers;
  std::string body;
  /// The connection stays open for another request after this one.
  bool keep_alive = false;
  /// A HEAD request: its reply carries no body.
  bool head = false;
};

/// What a connection does next with the bytes it has read so far.
struct FrameStep {
  enum class Kind {
    /// Read more bytes from the client.
    need_more,
    /// The header asks for "100 Continue" before the client sends its body:
    /// write it, then go on framing.
    send_continue,
    /// `request` is whole; the bytes after it stay buffered for the next.
    complete,
    /// Answer `reject_status` (431 or 413) and close the connection.
    rejected,
    /// Close the connection without a reply.
    malformed,
  };
  Kind kind = Kind::need_more;
  FramedRequest request;
  uint16_t reject_status = 0;
};

/// The framing of one connection's input: the bytes go in as they arrive,
/// split anywhere, and the steps come out: read more, write 100 Continue,
/// a whole request, or the end of the connection. The facility's connections
/// run exactly this, so it can be tested and fuzzed without a socket.
/// Requests follow one another on a kept-alive connection (pipelining).
/// After `rejected` or `malformed` the framer stays at that step.
class RequestFramer {
 public:
  explicit RequestFramer(const HttpLimits& limits);
  ~RequestFramer();
  RequestFramer(const RequestFramer&) = delete;
  RequestFramer& operator=(const RequestFramer&) = delete;

  /// Room for up to `n` more bytes; `commit` says how many were written.
  std::span<char> prepare(size_t n);
  void commit(size_t n);
  /// `prepare` and `commit` in one, for bytes that are already in memory.
  void append(std::string_view bytes);

  /// The next step for the bytes appended so far.
  FrameStep next();

  /// Bytes appended but not yet part of a whole request.
  size_t buffered() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace wf::bridge
