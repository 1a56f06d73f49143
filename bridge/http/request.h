#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// One HTTP request as the handlers see it. The HTTP facility has already
/// read the whole body on its own threads; a handler takes it at most once.
/// A request is answered exactly once through `respond` (normally by
/// `send_json`); one destroyed without an answer is answered with an empty
/// 500 by the implementation.
class Request {
 public:
  Request(std::string method, std::string target, HeaderList headers, std::string body)
      : method_(std::move(method)),
        target_(std::move(target)),
        headers_(std::move(headers)),
        body_(std::move(body)) {}
  virtual ~Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  const std::string& method() const { return method_; }
  /// The request-target exactly as sent: path and optional query, not decoded.
  const std::string& target() const { return target_; }
  /// The target up to, not including, the first "?".
  std::string_view path() const;
  const HeaderList& headers() const { return headers_; }
  /// First value of the header `name`, compared without regard to ASCII case.
  std::optional<std::string_view> header(std::string_view name) const;

  /// The body as raw bytes (moved out: a second call yields nothing).
  std::string take_body() { return std::move(body_); }
  /// The body as UTF-8 text; an error when it is not valid UTF-8.
  Result<std::string> take_body_text();

  /// Sends the reply: status, headers in order, body framed by its length.
  /// A client that has gone away counts as sent. Called at most once.
  virtual Status respond(uint16_t status, const HeaderList& headers, std::string body) = 0;

 private:
  std::string method_;
  std::string target_;
  HeaderList headers_;
  std::string body_;
};

using RequestPtr = std::unique_ptr<Request>;

/// True when `bytes` is well-formed UTF-8.
bool valid_utf8(std::string_view bytes);

/// A request held in memory, for tests: records the reply it gets, or an
/// empty 500 when it is dropped unanswered.
class MemoryRequest : public Request {
 public:
  struct Reply {
    bool answered = false;
    uint16_t status = 0;
    HeaderList headers;
    std::string body;
  };

  MemoryRequest(std::string method, std::string target, std::string body = {},
                HeaderList headers = {})
      : Request(std::move(method), std::move(target), std::move(headers), std::move(body)),
        reply_(std::make_shared<Reply>()) {}
  ~MemoryRequest() override;

  /// The reply, shared so that it outlives the consumed request.
  std::shared_ptr<const Reply> reply() const { return reply_; }
  Status respond(uint16_t status, const HeaderList& headers, std::string body) override;

 private:
  std::shared_ptr<Reply> reply_;
};

}  // namespace wf::bridge
