#include "bridge/http/http_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <future>
#include <thread>

#include "testing/http_client.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
using wf::testing::HttpConnection;

std::unique_ptr<HttpServer> serve(HttpLimits limits = {}) {
  auto server = HttpServer::bind(0, limits);
  EXPECT_TRUE(server.ok());
  return server ? std::move(*server) : nullptr;
}

TEST(HttpServer, HandsOverRequestsWithTheirBodiesAlreadyRead) {
  auto server = serve();
  HttpConnection c(server->port());
  std::string body(3 * 1024 * 1024, 'x');
  ASSERT_TRUE(c.send("POST", "/feed?x=1", body, {{"X-Wrenfield-Destination", "a"}}));
  RequestPtr request = server->next();
  ASSERT_TRUE(request);
  EXPECT_EQ("POST", request->method());
  EXPECT_EQ("/feed?x=1", request->target());
  EXPECT_EQ("a", request->header("x-wrenfield-destination").value_or(""));
  EXPECT_EQ(body, request->take_body());
  ASSERT_TRUE(request->respond(200, {{"A", "1"}}, "done").ok());
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  EXPECT_EQ("done", r->body);
  EXPECT_EQ("1", r->header("a"));
}

TEST(HttpServer, RequestsComeOutInArrivalOrderAcrossConnections) {
  auto server = serve();
  std::vector<std::unique_ptr<HttpConnection>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<HttpConnection>(server->port()));
    ASSERT_TRUE(clients.back()->send("GET", "/" + std::to_string(i)));
    // The facility has read this one before the next arrives.
    const size_t taken = size_t(i) + 1;
    ASSERT_TRUE(wf::testing::waitFor([&] { return server->queued() == taken; }, 10s,
                                     "request " + std::to_string(i) + " to be queued"));
  }
  for (int i = 0; i < 5; ++i) {
    RequestPtr request = server->next();
    ASSERT_TRUE(request);
    EXPECT_EQ("/" + std::to_string(i), request->target());
  }
}

TEST(HttpServer, UnansweredRequestGetsAnEmpty500) {
  auto server = serve();
  HttpConnection c(server->port());
  ASSERT_TRUE(c.send("GET", "/x"));
  server->next().reset();
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(500, r->status);
  EXPECT_EQ("", r->body);
  EXPECT_FALSE(r->header("content-type"));
}

TEST(HttpServer, NoBodyFor204AndHead) {
  auto server = serve();
  HttpConnection c(server->port());
  ASSERT_TRUE(c.send("OPTIONS", "/x"));
  ASSERT_TRUE(server->next()->respond(204, {}, "{}").ok());
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(204, r->status);
  EXPECT_FALSE(r->header("content-length"));
  ASSERT_TRUE(c.send("HEAD", "/x"));
  ASSERT_TRUE(server->next()->respond(404, {}, "not sent").ok());
  r = c.read(true);
  ASSERT_TRUE(r);
  EXPECT_EQ(404, r->status);
  // Nothing of the body follows: the next reply parses cleanly.
  ASSERT_TRUE(c.send("GET", "/y"));
  ASSERT_TRUE(server->next()->respond(200, {}, "ok").ok());
  r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ("ok", r->body);
}

TEST(HttpServer, HalfClosedClientStillGetsItsReply) {
  auto server = serve();
  HttpConnection c(server->port());
  ASSERT_TRUE(c.send("GET", "/x"));
  c.shutdownWrite();
  RequestPtr request = server->next();
  ASSERT_TRUE(request);
  // The facility has seen the end of the client's stream before the reply.
  ASSERT_TRUE(wf::testing::waitFor([&] { return server->clients_ended() == 1; }, 30s,
                                   "the facility to read the end of the client's stream"));
  ASSERT_TRUE(request->respond(200, {}, "still here").ok());
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ("still here", r->body);
  EXPECT_TRUE(c.closedByPeer(10s));
}

TEST(HttpServer, PipelinedRequestsWaitTheirTurnAndKeepTheirOrder) {
  auto server = serve();
  HttpConnection c(server->port());
  std::string burst;
  for (int i = 0; i < 4; ++i) {
    burst += "POST /" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n" +
             std::to_string(i);
  }
  ASSERT_TRUE(c.sendRaw(burst));
  for (int i = 0; i < 4; ++i) {
    RequestPtr request = server->next();
    ASSERT_TRUE(request);
    EXPECT_EQ("/" + std::to_string(i), request->target());
    EXPECT_EQ(std::to_string(i), request->take_body());
    ASSERT_TRUE(request->respond(200, {}, "r" + std::to_string(i)).ok());
  }
  for (int i = 0; i < 4; ++i) {
    auto r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ("r" + std::to_string(i), r->body);
  }
}

TEST(HttpServer, IdleConnectionIsClosed) {
  HttpLimits limits;
  limits.idle_timeout = 300ms;
  auto server = serve(limits);
  HttpConnection c(server->port());
  EXPECT_TRUE(c.closedByPeer(20s));
}

TEST(HttpServer, ReplyNotTakenInTimeIsAFailedWrite) {
  HttpLimits limits;
  limits.write_timeout = 300ms;
  auto server = serve(limits);
  HttpConnection c(server->port());
  ASSERT_TRUE(c.send("GET", "/big"));
  RequestPtr request = server->next();
  ASSERT_TRUE(request);
  // Far more than the socket buffers hold, and the client never reads.
  Status s = request->respond(200, {}, std::string(64 * 1024 * 1024, 'z'));
  ASSERT_FALSE(s.ok());
  EXPECT_NE(std::string::npos, s.error().message().find("time limit"));
}

TEST(HttpServer, VanishedClientCountsAsSent) {
  auto server = serve();
  auto c = std::make_unique<HttpConnection>(server->port());
  ASSERT_TRUE(c->send("GET", "/x"));
  RequestPtr request = server->next();
  c.reset();
  ASSERT_TRUE(wf::testing::waitFor([&] { return server->clients_ended() == 1; }, 30s,
                                   "the facility to see the client go"));
  EXPECT_TRUE(request->respond(200, {}, std::string(1024 * 1024, 'a')).ok());
}

TEST(HttpServer, ListenerAndClientSocketsAreCloseOnExec) {
  auto server = serve();
  HttpConnection c(server->port());
  ASSERT_TRUE(c.send("GET", "/x"));
  RequestPtr request = server->next();
  ASSERT_TRUE(request);
  // Every socket of this process is the facility's or the test client's.
  int sockets = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || target.string().rfind("socket:", 0) != 0) {
      continue;
    }
    int fd = std::stoi(entry.path().filename().string());
    if (fd == c.fd()) {
      continue;
    }
    ++sockets;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(sockets, 2);  // the listener and the accepted connection
}

TEST(HttpServer, BindFailureIsAnErrorWithTheSystemText) {
  auto first = serve();
  auto second = HttpServer::bind(first->port());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ("Address already in use", second.error().message());
}

TEST(ParseRequest, ReadsOneRequestAsAConnectionWould) {
  using Outcome = ParsedRequest::Outcome;
  HttpLimits small;
  small.header_limit = 128;
  small.body_limit = 4;
  const std::string get = "GET /health?x HTTP/1.1\r\nHost: a\r\n\r\n";
  struct Case {
    std::string bytes;
    Outcome outcome;
    size_t consumed;
    uint16_t reject_status;
  };
  const Case cases[] = {
      {get, Outcome::complete, get.size(), 0},
      {get + "GET /devices HTTP/1.1\r\n\r\n", Outcome::complete, get.size(), 0},
      {get.substr(0, get.size() - 1), Outcome::incomplete, 0, 0},
      {"POST /start HTTP/1.1\r\nContent-Length: 4\r\n\r\nab", Outcome::incomplete, 0, 0},
      {"POST /s HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", Outcome::rejected, 0, 413},
      {"GET / HTTP/1.1\r\nX: " + std::string(200, 'a') + "\r\n\r\n", Outcome::rejected, 0, 431},
      {"GET / HTTP/1.1\r\nBad Header\r\n\r\n", Outcome::malformed, 0, 0},
      {"\x01\x02\r\n\r\n", Outcome::malformed, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    ParsedRequest parsed = parse_request(c.bytes, small);
    EXPECT_EQ(c.outcome, parsed.outcome);
    EXPECT_EQ(c.reject_status, parsed.reject_status);
    if (c.outcome == Outcome::complete) {
      EXPECT_EQ(c.consumed, parsed.consumed);
      ASSERT_TRUE(parsed.request);
      EXPECT_EQ("/health", parsed.request->path());
      EXPECT_TRUE(parsed.keep_alive);
    } else {
      EXPECT_FALSE(parsed.request);
    }
  }
}

TEST(ParseRequest, DecodesAChunkedBodyAndKeepsHeadersInOrder) {
  ParsedRequest parsed = parse_request(
      "POST /encoder/chunk HTTP/1.1\r\nx-wrenfield-destination: a\r\nX-Wrenfield-Destination: b\r\n"
      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
  ASSERT_EQ(ParsedRequest::Outcome::complete, parsed.outcome);
  EXPECT_FALSE(parsed.keep_alive);
  EXPECT_EQ("a", parsed.request->header("X-Wrenfield-Destination").value_or(""));
  EXPECT_EQ("abcde", parsed.request->take_body());
}

// Feeds `pieces` one after another and writes down every step but
// need_more: "continue", "rejected 413", "malformed", or the request as
// "METHOD target [body] keep|close".
std::vector<std::string> frame_all(const std::vector<std::string>& pieces,
                                   const HttpLimits& limits = {}) {
  RequestFramer framer(limits);
  std::vector<std::string> steps;
  for (const std::string& piece : pieces) {
    framer.append(piece);
    for (;;) {
      FrameStep step = framer.next();
      if (step.kind == FrameStep::Kind::need_more) {
        break;
      }
      if (step.kind == FrameStep::Kind::send_continue) {
        steps.push_back("continue");
        continue;
      }
      if (step.kind == FrameStep::Kind::complete) {
        const FramedRequest& r = step.request;
        steps.push_back(r.method + " " + r.target + " [" + r.body + "] " +
                        (r.keep_alive ? "keep" : "close") + (r.head ? " head" : ""));
        continue;
      }
      steps.push_back(step.kind == FrameStep::Kind::rejected
                          ? "rejected " + std::to_string(step.reject_status)
                          : "malformed");
      return steps;
    }
  }
  return steps;
}

// A keep-alive connection's whole input: plain, with a length, chunked,
// asking for 100 Continue, HEAD, and a last request that closes.
const std::string CONNECTION =
    "GET /health?probe=1 HTTP/1.1\r\nHost: a\r\n\r\n"
    "POST /start HTTP/1.1\r\nContent-Length: 4\r\n\r\n{}  "
    "POST /encoder/chunk HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
    "POST /big HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nxyz"
    "POST /empty HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 0\r\n\r\n"
    "HEAD /health HTTP/1.1\r\n\r\n"
    "GET /last HTTP/1.1\r\nConnection: close\r\n\r\n";

const std::vector<std::string> CONNECTION_STEPS = {
    "GET /health?probe=1 [] keep",
    "POST /start [{}  ] keep",
    "POST /encoder/chunk [abc] keep",
    // Asked for before any of the body is taken, whatever has arrived.
    "continue",
    "POST /big [xyz] keep",
    // Nothing to wait for: no 100 Continue.
    "POST /empty [] keep",
    "HEAD /health [] keep head",
    "GET /last [] close",
};

TEST(RequestFramer, AnySplitOfAConnectionGivesTheSameSteps) {
  EXPECT_EQ(CONNECTION_STEPS, frame_all({CONNECTION}));
  for (size_t at = 0; at <= CONNECTION.size(); ++at) {
    EXPECT_EQ(CONNECTION_STEPS, frame_all({CONNECTION.substr(0, at), CONNECTION.substr(at)}))
        << "split at " << at;
  }
  std::vector<std::string> bytes;
  for (char c : CONNECTION) {
    bytes.emplace_back(1, c);
  }
  EXPECT_EQ(CONNECTION_STEPS, frame_all(bytes));
}

TEST(RequestFramer, ContinueComesBeforeTheBodyIsRead) {
  RequestFramer framer(HttpLimits{});
  framer.append("PUT /x HTTP/1.1\r\nexpect: 100-Continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(FrameStep::Kind::send_continue, framer.next().kind);
  EXPECT_EQ(FrameStep::Kind::need_more, framer.next().kind);
  framer.append("ok");
  FrameStep step = framer.next();
  ASSERT_EQ(FrameStep::Kind::complete, step.kind);
  EXPECT_EQ("ok", step.request.body);
  EXPECT_EQ(0u, framer.buffered());
}

TEST(RequestFramer, LimitsAndMalformedInputEndTheConnectionForGood) {
  HttpLimits small;
  small.header_limit = 128;
  small.body_limit = 4;
  const std::string ok = "GET /a HTTP/1.1\r\n\r\n";
  struct Case {
    std::string bytes;
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {ok + "POST /s HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde" + ok,
       {"GET /a [] keep", "rejected 413"}},
      {ok + "POST /s HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n",
       {"GET /a [] keep", "rejected 413"}},
      {"GET / HTTP/1.1\r\nX: " + std::string(200, 'a') + "\r\n\r\n" + ok, {"rejected 431"}},
      {"GET / HTTP/1.1\r\nX: " + std::string(200, 'a'), {"rejected 431"}},
      {ok + "GET / HTTP/1.1\r\nBad Header\r\n\r\n" + ok, {"GET /a [] keep", "malformed"}},
      {"\x01\x02\r\n\r\n", {"malformed"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.steps, frame_all({c.bytes}, small)) << c.bytes;
    std::vector<std::string> bytes;
    for (char b : c.bytes) {
      bytes.emplace_back(1, b);
    }
    EXPECT_EQ(c.steps, frame_all(bytes, small)) << "byte by byte: " << c.bytes;
  }
}

}  // namespace
}  // namespace wf::bridge
