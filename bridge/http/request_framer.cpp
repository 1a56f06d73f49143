#include "bridge/http/request_framer.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <vector>

namespace wf::bridge {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

using Parser = http::request_parser<http::string_body>;

HeaderList headers_of(const http::request<http::string_body>& req) {
  HeaderList out;
  for (const auto& field : req) {
    out.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return out;
}

// The reply before closing for a parse failure, or 0 for a silent close.
uint16_t rejection_for(beast::error_code ec) {
  if (ec == http::error::header_limit) {
    return 431;
  }
  if (ec == http::error::body_limit) {
    return 413;
  }
  return 0;
}

}  // namespace

struct RequestFramer::State {
  explicit State(const HttpLimits& l) : limits(l) {}

  HttpLimits limits;
  std::vector<char> bytes;  // read, from `used` on not yet parsed
  size_t used = 0;
  size_t prepared_from = 0;  // where the room `prepare` handed out begins
  std::optional<Parser> parser;
  FrameStep failure;  // set once the connection must end
  bool failed = false;

  FrameStep fail(beast::error_code ec) {
    failed = true;
    failure.reject_status = rejection_for(ec);
    failure.kind = failure.reject_status ? FrameStep::Kind::rejected : FrameStep::Kind::malformed;
    return failure;
  }
};

RequestFramer::RequestFramer(const HttpLimits& limits) : state_(std::make_unique<State>(limits)) {}

RequestFramer::~RequestFramer() = default;

std::span<char> RequestFramer::prepare(size_t n) {
  State& s = *state_;
  // What the parser has used is dropped before the buffer grows, so it holds
  // at most one unparsed header plus one read.
  if (s.used > 0) {
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(s.used));
    s.used = 0;
  }
  s.prepared_from = s.bytes.size();
  s.bytes.resize(s.prepared_from + n);
  return {s.bytes.data() + s.prepared_from, n};
}

void RequestFramer::commit(size_t n) {
  State& s = *state_;
  s.bytes.resize(s.prepared_from + std::min(n, s.bytes.size() - s.prepared_from));
}

void RequestFramer::append(std::string_view bytes) {
  std::span<char> room = prepare(bytes.size());
  std::copy(bytes.begin(), bytes.end(), room.begin());
  commit(bytes.size());
}

size_t RequestFramer::buffered() const {
  return state_->bytes.size() - state_->used;
}

FrameStep RequestFramer::next() {
  State& s = *state_;
  if (s.failed) {
    return s.failure;
  }
  if (!s.parser) {
    s.parser.emplace();
    s.parser->header_limit(static_cast<std::uint32_t>(s.limits.header_limit));
    s.parser->body_limit(s.limits.body_limit);
  }
  Parser& parser = *s.parser;
  while (!parser.is_done()) {
    const bool had_header = parser.is_header_done();
    beast::error_code ec;
    const size_t used =
        parser.put(asio::const_buffer(s.bytes.data() + s.used, s.bytes.size() - s.used), ec);
    s.used += used;
    if (ec && ec != http::error::need_more) {
      return s.fail(ec);
    }
    if (!had_header && parser.is_header_done() && !parser.is_done() &&
        beast::iequals(parser.get()[http::field::expect], "100-continue")) {
      // The client waits for this before it sends the body.
      return FrameStep{FrameStep::Kind::send_continue, {}, 0};
    }
    if (used == 0 && !parser.is_done()) {
      return FrameStep{};
    }
  }
  auto req = parser.release();
  s.parser.reset();
  FrameStep step;
  step.kind = FrameStep::Kind::complete;
  step.request.keep_alive = req.keep_alive();
  step.request.head = req.method() == http::verb::head;
  step.request.method = std::string(req.method_string());
  step.request.target = std::string(req.target());
  step.request.headers = headers_of(req);
  step.request.body = std::move(req.body());
  return step;
}

}  // namespace wf::bridge
