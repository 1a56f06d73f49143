#include "bridge/core/serve.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bridge/http/http_server.h"
#include "bridge/http/reply.h"
#include "bridge/http/request.h"
#include "testing/http_client.h"

namespace wf::bridge {
namespace {

// Fails half way through a change of the state, as a handler does when an
// allocation or a library call throws.
Status throw_while_writing_state(RequestPtr, RouteContext& context) {
  auto guard = context.state->lock();
  if (!guard) {
    return guard.error();
  }
  (**guard).channels = 7;
  throw std::runtime_error("library failure");
}
Status throw_bad_alloc(RequestPtr, RouteContext&) {
  throw std::bad_alloc();
}
Status throw_something_else(RequestPtr, RouteContext&) {
  throw 42;
}
Status read_state(RequestPtr request, RouteContext& context) {
  auto guard = context.state->lock();
  if (!guard) {
    return guard.error();
  }
  return send_json(std::move(request), 200, nlohmann::json{{"channels", (**guard).channels}});
}
Status answer_plain(RequestPtr request, RouteContext&) {
  return send_ok(std::move(request));
}

const Route TABLE[] = {
    {"POST", "/throw", throw_while_writing_state},
    {"POST", "/bad-alloc", throw_bad_alloc},
    {"POST", "/other", throw_something_else},
    {"GET", "/state", read_state},
    {"GET", "/plain", answer_plain},
};

TEST(Serve, AThrowingHandlerGivesUpItsRequestPoisonsTheLockAndTheLoopGoesOn) {
  struct Step {
    const char* method;
    const char* path;
    uint16_t status;
    const char* body;
    const char* error_line;  // what the loop writes, or empty
  };
  const Step steps[] = {
      {"GET", "/state", 200, R"({"channels":0})", ""},
      {"POST", "/throw", 500, "", "request failed: library failure\n"},
      // The record was left half written: the lock says so from now on.
      {"GET", "/state", 500, "", "request failed: state lock poisoned\n"},
      {"POST", "/bad-alloc", 500, "", "request failed: std::bad_alloc\n"},
      {"POST", "/other", 500, "", "request failed: unknown exception\n"},
      {"GET", "/plain", 200, R"({"ok":true})", ""},
      {"GET", "/state", 500, "", "request failed: state lock poisoned\n"},
  };
  std::deque<std::unique_ptr<MemoryRequest>> queue;
  std::vector<std::shared_ptr<const MemoryRequest::Reply>> replies;
  std::string expected_errors;
  for (const Step& step : steps) {
    queue.push_back(std::make_unique<MemoryRequest>(step.method, step.path));
    replies.push_back(queue.back()->reply());
    expected_errors += step.error_line;
  }
  RouteContext context{std::make_shared<SharedState>()};
  std::ostringstream errors;
  serve(
      [&]() -> RequestPtr {
        if (queue.empty()) {
          return nullptr;
        }
        RequestPtr next = std::move(queue.front());
        queue.pop_front();
        return next;
      },
      context, TABLE, errors);

  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& step = steps[i];
    EXPECT_TRUE(replies[i]->answered) << i;
    EXPECT_EQ(step.status, replies[i]->status) << i << " " << step.path;
    EXPECT_EQ(step.body, replies[i]->body) << i << " " << step.path;
    if (step.status == 500) {
      EXPECT_TRUE(replies[i]->headers.empty()) << i << " " << step.path;
    }
  }
  EXPECT_EQ(expected_errors, errors.str());
}

// The same over the HTTP facility: the client of the failing request gets an
// empty 500, and the same connection is served on.
TEST(Serve, OverTheHttpFacilityAThrowingHandlerCostsOnlyItsOwnRequest) {
  auto bound = HttpServer::bind(0);
  ASSERT_TRUE(bound.ok()) << bound.error().message();
  std::unique_ptr<HttpServer> server = std::move(*bound);
  RouteContext context{std::make_shared<SharedState>()};
  std::ostringstream errors;
  std::atomic<int> handled{0};
  constexpr int REQUESTS = 3;
  std::thread loop([&] {
    serve(
        [&]() -> RequestPtr {
          if (handled.load() == REQUESTS) {
            return nullptr;
          }
          ++handled;
          return server->next();
        },
        context, TABLE, errors);
  });

  wf::testing::HttpConnection connection(server->port());
  ASSERT_TRUE(connection.send("POST", "/bad-alloc"));
  auto failed = connection.read();
  ASSERT_TRUE(failed);
  EXPECT_EQ(500, failed->status);
  EXPECT_EQ("", failed->body);
  EXPECT_FALSE(failed->header("Access-Control-Allow-Origin"));
  for (int i = 1; i < REQUESTS; ++i) {
    ASSERT_TRUE(connection.send("GET", "/plain"));
    auto served = connection.read();
    ASSERT_TRUE(served);
    EXPECT_EQ(200, served->status);
    EXPECT_EQ(R"({"ok":true})", served->body);
  }
  loop.join();
  EXPECT_EQ("request failed: std::bad_alloc\n", errors.str());
}

}  // namespace
}  // namespace wf::bridge
