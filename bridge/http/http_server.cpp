#include "bridge/http/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace wf::bridge {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

class Server;

// Blocks the whole reply onto a socket with a deadline. The connection's own
// threads do nothing with the socket meanwhile, so the dispatch thread can
// write it directly and learn the outcome at once.
enum class WriteOutcome { sent, gone, failed, timed_out };

WriteOutcome write_all(int fd, std::string_view bytes, Clock::time_point deadline, int& err) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        return WriteOutcome::timed_out;
      }
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
      continue;
    }
    err = errno;
    if (err == EPIPE || err == ECONNRESET || err == ECONNABORTED || err == ECONNREFUSED) {
      return WriteOutcome::gone;
    }
    return WriteOutcome::failed;
  }
  return WriteOutcome::sent;
}

std::string serialise(uint16_t status, const HeaderList& headers, std::string_view body,
                      bool head_request, bool keep_alive) {
  const bool bodiless = status / 100 == 1 || status == 204 || status == 304;
  std::string out;
  out.reserve(160 + body.size() + headers.size() * 48);
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  auto reason = http::obsolete_reason(static_cast<http::status>(status));
  out.append(reason.data(), reason.size());
  out += "\r\n";
  for (const auto& [k, v] : headers) {
    out += k;
    out += ": ";
    out += v;
    out += "\r\n";
  }
  if (!bodiless) {
    out += "Content-Length: ";
    out += std::to_string(body.size());
    out += "\r\n";
  }
  if (!keep_alive) {
    out += "Connection: close\r\n";
  }
  out += "\r\n";
  if (!bodiless && !head_request) {
    out.append(body.data(), body.size());
  }
  return out;
}

// One connection. Reading runs one request ahead of the dispatch thread: while
// a request is queued or being handled, the next one is already being read,
// so a keep-alive client's next request needs no extra wake-up. At most one
// request is parked behind the outstanding one, and nothing is written by
// the connection's own threads while the dispatch thread may be writing.
class Session : public std::enable_shared_from_this<Session> {
 public:
  static constexpr size_t READ_SIZE = 64 * 1024;

  Session(tcp::socket socket, Server& server, const HttpLimits& limits)
      : stream_(std::move(socket)), server_(server), limits_(limits) {}

  void start() { frame(); }

  // Called on the dispatch thread for the outstanding request.
  Status reply(uint16_t status, const HeaderList& headers, std::string_view body, bool head_request,
               bool keep_alive);

 private:
  // Acts on the framer's next step for the bytes read so far.
  void frame();
  void read_more();
  void write_continue();
  void on_request(FramedRequest request);
  void reject(http::status status);
  void close();
  // Runs `action` now, or after the outstanding request's reply is written.
  void when_idle(std::function<void()> action);
  void hand_over(RequestPtr request, bool keep_alive);

  beast::tcp_stream stream_;
  Server& server_;
  const HttpLimits& limits_;
  RequestFramer framer_{limits_};

  std::mutex mutex_;
  bool outstanding_ = false;  // a request is queued or being handled
  RequestPtr parked_;         // the next request, read ahead
  bool parked_keep_alive_ = false;
  std::function<void()> deferred_;  // a write or close waiting for the reply
  bool closed_ = false;             // only touched on the connection's threads
};

class BeastRequest : public Request {
 public:
  BeastRequest(std::shared_ptr<Session> session, FramedRequest&& req)
      : Request(std::move(req.method), std::move(req.target), std::move(req.headers),
                std::move(req.body)),
        session_(std::move(session)),
        head_(req.head),
        keep_alive_(req.keep_alive) {}

  ~BeastRequest() override {
    if (!answered_) {
      // Given up without a reply: an empty 500 with none of our headers.
      (void)respond(500, {}, {});
    }
  }

  /// Drops the request without a reply (its connection is closing).
  void abandon() { answered_ = true; }

  Status respond(uint16_t status, const HeaderList& headers, std::string body) override {
    answered_ = true;
    return session_->reply(status, headers, body, head_, keep_alive_);
  }

 private:
  std::shared_ptr<Session> session_;
  bool head_;
  bool keep_alive_;
  bool answered_ = false;
};

class Server : public HttpServer {
 public:
  Server(HttpLimits limits) : limits_(limits), acceptor_(ioc_) {}

  ~Server() override {
    ioc_.stop();
    for (auto& t : threads_) {
      t.join();
    }
  }

  Status open(uint16_t port) {
    beast::error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
      acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
      acceptor_.bind(endpoint, ec);
    if (!ec)
      acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
      acceptor_.non_blocking(true, ec);
    if (!ec && ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC) != 0) {
      ec.assign(errno, beast::system_category());
    }
    if (ec) {
      return Error(ec.message());
    }
    port_ = acceptor_.local_endpoint().port();
    accept();
    for (unsigned i = 0; i < std::max(1u, limits_.io_threads); ++i) {
      threads_.emplace_back([this] { ioc_.run(); });
    }
    return {};
  }

  uint16_t port() const override { return port_; }

  size_t clients_ended() const override { return clients_ended_.load(); }
  void client_ended() { ++clients_ended_; }

  size_t queued() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

  RequestPtr next() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return !queue_.empty() || failed_; });
    if (queue_.empty()) {
      return nullptr;
    }
    RequestPtr r = std::move(queue_.front());
    queue_.pop_front();
    return r;
  }

  void push(RequestPtr request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(request));
    }
    ready_.notify_one();
  }

  asio::io_context& context() { return ioc_; }

 private:
  // Accepts with accept4(SOCK_CLOEXEC) rather than through Asio, which leaves
  // accepted sockets inheritable: the dispatch thread starts encoder children
  // at any moment, and none of them may hold a client connection open.
  void accept() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](beast::error_code ec) {
      if (ec) {
        return fail();
      }
      for (;;) {
        int fd =
            ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
          start_session(fd);
          continue;
        }
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED ||
            err == EPROTO) {
          if (err == EINTR || err == ECONNABORTED || err == EPROTO) {
            continue;
          }
          return accept();
        }
        // Running out of descriptors or memory passes; anything else means
        // the listener itself has failed and the request sequence ends.
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
          auto timer = std::make_shared<asio::steady_timer>(ioc_, std::chrono::milliseconds(50));
          timer->async_wait([this, timer](beast::error_code) { accept(); });
          return;
        }
        return fail();
      }
    });
  }

  void start_session(int fd) {
    beast::error_code ec;
    tcp::socket socket(asio::make_strand(ioc_));
    socket.assign(tcp::v4(), fd, ec);
    if (ec) {
      ::close(fd);
      return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::make_shared<Session>(std::move(socket), *this, limits_)->start();
  }

  void fail() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;
    }
    ready_.notify_all();
  }

  HttpLimits limits_;
  asio::io_context ioc_;
  tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<RequestPtr> queue_;
  bool failed_ = false;
  std::atomic<size_t> clients_ended_{0};
};

void Session::frame() {
  FrameStep step = framer_.next();
  auto self = shared_from_this();
  switch (step.kind) {
    case FrameStep::Kind::need_more:
      return read_more();
    case FrameStep::Kind::send_continue:
      return when_idle([self] { self->write_continue(); });
    case FrameStep::Kind::complete:
      return on_request(std::move(step.request));
    case FrameStep::Kind::rejected:
      return when_idle(
          [self, status = step.reject_status] { self->reject(static_cast<http::status>(status)); });
    case FrameStep::Kind::malformed:
      return when_idle([self] { self->close(); });
  }
}

void Session::read_more() {
  // The idle limit applies to silence, not to the time a large body takes:
  // every read starts it afresh. Large feed chunks arrive in reads of up to
  // READ_SIZE.
  stream_.expires_after(limits_.idle_timeout);
  std::span<char> room = framer_.prepare(READ_SIZE);
  stream_.async_read_some(asio::buffer(room.data(), room.size()),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            self->framer_.commit(n);
                            if (ec) {
                              self->server_.client_ended();
                              // A client that half-closes after its request
                              // still gets the reply.
                              return self->when_idle([self] { self->close(); });
                            }
                            self->frame();
                          });
}

void Session::write_continue() {
  auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
  http::async_write(stream_, *cont,
                    [self = shared_from_this(), cont](beast::error_code ec, size_t) {
                      if (ec) {
                        return self->close();
                      }
                      self->frame();
                    });
}

void Session::on_request(FramedRequest framed) {
  stream_.expires_never();
  const bool keep_alive = framed.keep_alive;
  auto request = std::make_unique<BeastRequest>(shared_from_this(), std::move(framed));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outstanding_) {
      // Reading pauses here until the outstanding request is answered.
      parked_ = std::move(request);
      parked_keep_alive_ = keep_alive;
      return;
    }
    outstanding_ = true;
  }
  hand_over(std::move(request), keep_alive);
}

void Session::hand_over(RequestPtr request, bool keep_alive) {
  server_.push(std::move(request));
  if (keep_alive) {
    frame();
  }
}

void Session::when_idle(std::function<void()> action) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outstanding_) {
      deferred_ = std::move(action);
      return;
    }
  }
  action();
}

void Session::reject(http::status status) {
  stream_.expires_after(limits_.write_timeout);
  auto res = std::make_shared<http::response<http::empty_body>>(status, 11);
  res->keep_alive(false);
  res->content_length(0);
  http::async_write(stream_, *res,
                    [self = shared_from_this(), res](beast::error_code, size_t) { self->close(); });
}

void Session::close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  stream_.close();
}

Status Session::reply(uint16_t status, const HeaderList& headers, std::string_view body,
                      bool head_request, bool keep_alive) {
  std::string bytes = serialise(status, headers, body, head_request, keep_alive);
  int err = 0;
  auto outcome =
      write_all(stream_.socket().native_handle(), bytes, Clock::now() + limits_.write_timeout, err);
  auto self = shared_from_this();
  RequestPtr next;
  bool next_keep_alive = false;
  std::function<void()> deferred;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_ = false;
    if (outcome == WriteOutcome::sent && keep_alive) {
      next = std::move(parked_);
      next_keep_alive = parked_keep_alive_;
      outstanding_ = next != nullptr;
      deferred = std::move(deferred_);
    } else {
      if (parked_) {
        static_cast<BeastRequest*>(parked_.get())->abandon();
        parked_.reset();
      }
      deferred_ = nullptr;
      deferred = [self] { self->close(); };
    }
  }
  if (next) {
    // Its body was read on the connection's thread; reading resumes there.
    server_.push(std::move(next));
    if (next_keep_alive) {
      asio::post(stream_.get_executor(), [self] { self->frame(); });
    }
  } else if (deferred) {
    asio::post(stream_.get_executor(), std::move(deferred));
  }
  switch (outcome) {
    case WriteOutcome::sent:
    case WriteOutcome::gone:
      return {};
    case WriteOutcome::timed_out:
      return Error("reply not taken by the client within the write time limit");
    case WriteOutcome::failed:
      break;
  }
  return Error(std::system_category().message(err));
}

}  // namespace

ParsedRequest parse_request(std::string_view bytes, const HttpLimits& limits) {
  ParsedRequest out;
  RequestFramer framer(limits);
  framer.append(bytes);
  FrameStep step = framer.next();
  while (step.kind == FrameStep::Kind::send_continue) {
    step = framer.next();
  }
  switch (step.kind) {
    case FrameStep::Kind::complete:
      out.outcome = ParsedRequest::Outcome::complete;
      out.consumed = bytes.size() - framer.buffered();
      out.keep_alive = step.request.keep_alive;
      out.request = std::make_unique<MemoryRequest>(
          std::move(step.request.method), std::move(step.request.target),
          std::move(step.request.body), std::move(step.request.headers));
      break;
    case FrameStep::Kind::rejected:
      out.outcome = ParsedRequest::Outcome::rejected;
      out.reject_status = step.reject_status;
      break;
    case FrameStep::Kind::malformed:
      out.outcome = ParsedRequest::Outcome::malformed;
      break;
    default:
      out.outcome = ParsedRequest::Outcome::incomplete;
      break;
  }
  return out;
}

Result<std::unique_ptr<HttpServer>> HttpServer::bind(uint16_t port, HttpLimits limits) {
  auto server = std::make_unique<Server>(limits);
  if (Status s = server->open(port); !s) {
    return s.error();
  }
  return std::unique_ptr<HttpServer>(std::move(server));
}

}  // namespace wf::bridge
