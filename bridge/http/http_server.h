#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "bridge/http/error.h"
#include "bridge/http/request.h"
#include "bridge/http/request_framer.h"

namespace wf::bridge {

/// What the facility's parser makes of the bytes at the front of a
/// connection's input, with the limits and checks the server applies.
struct ParsedRequest {
  enum class Outcome {
    /// `request` holds a whole request; `consumed` bytes were used.
    complete,
    /// The bytes end before the request does.
    incomplete,
    /// Answered with `reject_status` (431 or 413) and the connection closed.
    rejected,
    /// Malformed: the connection is closed without a reply.
    malformed,
  };
  Outcome outcome = Outcome::incomplete;
  std::unique_ptr<MemoryRequest> request;
  size_t consumed = 0;
  uint16_t reject_status = 0;
  /// The connection stays open for another request after this one.
  bool keep_alive = false;
};

/// Parses one request from the start of `bytes` with a connection's framer
/// (a 100 Continue it asks for is taken as written).
ParsedRequest parse_request(std::string_view bytes, const HttpLimits& limits = {});

/// The HTTP/1.1 server facility: listens on 127.0.0.1, reads and parses
/// requests (bodies included, chunked or with Expect: 100-continue) on its
/// own threads, and hands complete requests to one consumer in arrival order.
/// Connections are kept alive; pipelined requests are answered in order.
class HttpServer {
 public:
  /// Binds 127.0.0.1:port (0 picks an ephemeral port) and starts serving.
  static Result<std::unique_ptr<HttpServer>> bind(uint16_t port, HttpLimits limits = {});
  virtual ~HttpServer() = default;

  /// The port actually bound.
  virtual uint16_t port() const = 0;
  /// Blocks until the next complete request; null once the listener failed.
  virtual RequestPtr next() = 0;
  /// How many complete requests wait for `next`: shows that the facility
  /// has read a request without taking it.
  virtual size_t queued() const = 0;
  /// How many connections have read the end of their client's stream (or
  /// lost it): shows that the facility has noticed a client that finished
  /// sending or went away.
  virtual size_t clients_ended() const = 0;
};

}  // namespace wf::bridge
