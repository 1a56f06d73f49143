#include <gtest/gtest.h>

#include <stdexcept>

#include "bridge/core/route_context.h"
#include "bridge/http/reply.h"
#include "bridge/http/request.h"

namespace wf::bridge {
namespace {

Status answer_post(RequestPtr request, RouteContext&) {
  return send_json(std::move(request), 200, nlohmann::json{{"route", "post"}});
}
Status answer_get(RequestPtr request, RouteContext&) {
  return send_json(std::move(request), 200, nlohmann::json{{"route", "get"}});
}
Status give_up(RequestPtr, RouteContext&) {
  return Error("handler failed");
}

const Route TABLE[] = {
    {"GET", "/thing", answer_get},
    {"POST", "/thing", answer_post},
    {"GET", "/fail", give_up},
};

class DispatchTest : public ::testing::Test {
 protected:
  std::shared_ptr<const MemoryRequest::Reply> run(const std::string& method,
                                                  const std::string& target,
                                                  Status* status = nullptr) {
    auto request = std::make_unique<MemoryRequest>(method, target);
    auto reply = request->reply();
    Status s = dispatch(std::move(request), context_, TABLE);
    if (status)
      *status = s;
    return reply;
  }
  RouteContext context_{std::make_shared<SharedState>()};
};

TEST_F(DispatchTest, OptionsOnAnyPathIs204WithTheFiveHeaders) {
  for (const char* target : {"/thing", "/nowhere", "*", "/thing?x=1"}) {
    auto reply = run("OPTIONS", target);
    EXPECT_EQ(204, reply->status) << target;
    EXPECT_EQ(reply_headers(), reply->headers);
  }
}

TEST_F(DispatchTest, UnmatchedPairsAre404NotFound) {
  const std::pair<const char*, const char*> cases[] = {
      {"GET", "/thing/"},   {"GET", "/THING"},  {"HEAD", "/thing"},   {"PUT", "/thing"},
      {"DELETE", "/thing"}, {"GET", "/thin"},   {"GET", "/thing%20"}, {"get", "/thing"},
      {"PATCH", "/thing"},  {"BREW", "/thing"}, {"GET", ""},
  };
  for (auto [method, target] : cases) {
    auto reply = run(method, target);
    EXPECT_EQ(404, reply->status) << method << " " << target;
    EXPECT_EQ(R"({"error":"Not found"})", reply->body);
    EXPECT_EQ(reply_headers(), reply->headers);
  }
}

TEST_F(DispatchTest, QueryIsCutAtTheFirstQuestionMark) {
  EXPECT_EQ(R"({"route":"get"})", run("GET", "/thing?probe=1")->body);
  EXPECT_EQ(R"({"route":"post"})", run("POST", "/thing?a?b")->body);
  EXPECT_EQ(404, run("GET", "/thing/?x")->status);
}

TEST_F(DispatchTest, HandlerErrorLeavesTheRequestToTheFacilityAs500) {
  Status status;
  auto reply = run("GET", "/fail", &status);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("handler failed", status.error().message());
  EXPECT_EQ(500, reply->status);
  EXPECT_TRUE(reply->headers.empty());
  EXPECT_TRUE(reply->body.empty());
}

TEST(SendJson, HeadersInOrderAndCompactBody) {
  auto request = std::make_unique<MemoryRequest>("GET", "/");
  auto reply = request->reply();
  nlohmann::ordered_json record;
  record["zeta"] = 1;
  record["alpha"] = {{"b", nullptr}, {"a", "ü\"\n"}};
  ASSERT_TRUE(send_json(std::move(request), 200, record).ok());
  EXPECT_EQ(200, reply->status);
  EXPECT_EQ(R"({"zeta":1,"alpha":{"b":null,"a":"ü\"\n"}})", reply->body);
  const HeaderList expected = {
      {"Content-Type", "application/json"},
      {"Access-Control-Allow-Origin", "*"},
      {"Access-Control-Allow-Headers", "content-type, authorization, x-wrenfield-destination"},
      {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
      {"Access-Control-Allow-Private-Network", "true"},
  };
  EXPECT_EQ(expected, reply->headers);
}

TEST(SendJson, GenericObjectsSortTheirKeys) {
  auto request = std::make_unique<MemoryRequest>("GET", "/");
  auto reply = request->reply();
  ASSERT_TRUE(
      send_json(std::move(request), 400, nlohmann::json{{"outputs", {}}, {"ok", true}}).ok());
  EXPECT_EQ(R"({"ok":true,"outputs":null})", reply->body);
  EXPECT_EQ(400, reply->status);
}

TEST(SendJson, UnserialisableBodyGivesTheRequestUp) {
  auto request = std::make_unique<MemoryRequest>("GET", "/");
  auto reply = request->reply();
  Status s = send_json(std::move(request), 200, nlohmann::json{{"bad", std::string("\xff")}});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ("reply body cannot be serialised", s.error().message());
  EXPECT_EQ(500, reply->status);
  EXPECT_TRUE(reply->headers.empty());
}

TEST(SharedStateLock, FailingHolderPoisonsTheLock) {
  SharedState state;
  try {
    auto guard = state.lock();
    ASSERT_TRUE(guard.ok());
    (*guard)->running = true;
    throw std::runtime_error("holder fails");
  } catch (const std::runtime_error&) {
  }
  auto again = state.lock();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ("state lock poisoned", again.error().message());
  // Still poisoned later, and the mutex itself was released each time.
  EXPECT_FALSE(state.lock().ok());
}

TEST(SharedStateLock, NormalReleaseDoesNotPoison) {
  SharedState state;
  { ASSERT_TRUE(state.lock().ok()); }
  EXPECT_TRUE(state.lock().ok());
}

TEST(Utf8, AcceptsWellFormedAndRejectsTheRest) {
  EXPECT_TRUE(valid_utf8(""));
  EXPECT_TRUE(valid_utf8("plain {\"a\":1}"));
  EXPECT_TRUE(valid_utf8("\xc3\xbc \xe2\x82\xac \xf0\x9f\x8e\xb5"));
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\x80", "a\xe2\x82"}) {
    EXPECT_FALSE(valid_utf8(bad)) << testing::PrintToString(std::string(bad));
  }
}

TEST(RequestBody, TextRouteRejectsInvalidUtf8) {
  MemoryRequest request("POST", "/x", "\xfe\xff");
  auto text = request.take_body_text();
  ASSERT_FALSE(text.ok());
  EXPECT_EQ("request body is not valid UTF-8", text.error().message());
}

TEST(RequestHeaders, NamesCompareWithoutCase) {
  MemoryRequest request("POST", "/x", "", {{"X-Wrenfield-Destination", "main"}});
  EXPECT_EQ("main", request.header("x-wrenfield-destination").value_or(""));
  EXPECT_FALSE(request.header("x-other").has_value());
}

}  // namespace
}  // namespace wf::bridge
