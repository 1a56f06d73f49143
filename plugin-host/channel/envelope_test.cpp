#include "channel/envelope.h"

#include <gtest/gtest.h>

namespace wf::host {
namespace {

using nlohmann::json;

TEST(RouteLine, SendsOnlyProcessObjectsToTheAudioWorker) {
  struct Case {
    std::string line;
    Route route;
  };
  const Case cases[] = {
      {R"({"id":1,"op":"process","pcm":[]})", Route::Process},
      {"{\"op\":\"process\"}\r", Route::Process},
      {R"({"op":"Process"})", Route::Command},
      {R"({"op":"scan"})", Route::Command},
      {R"({"id":1})", Route::Command},
      {R"({"op":7})", Route::Command},
      {R"(["process"])", Route::Command},
      {R"({"op":"process"} x)", Route::Command},
      {"", Route::Command},
      {"   ", Route::Command},
  };
  for (const Case& c : cases) {
    QueuedLine parsed;
    EXPECT_EQ(c.route, routeLine(c.line, parsed)) << c.line;
  }
}

TEST(RouteLine, MarksEmptyLinesAndKeepsParseErrors) {
  QueuedLine parsed;
  routeLine("", parsed);
  EXPECT_TRUE(parsed.empty);

  routeLine(" ", parsed);
  EXPECT_FALSE(parsed.empty);
  ASSERT_TRUE(parsed.parseError.has_value());
  EXPECT_NE(std::string::npos, parsed.parseError->find("[json.exception.parse_error.101]"));
}

TEST(RunEnvelope, CopiesTheIdOfAnyKind) {
  for (const char* id : {"1", "\"a\"", "null", "{\"k\":[1,2]}", "-2.5"}) {
    QueuedLine line;
    routeLine(std::string("{\"id\":") + id + ",\"op\":\"x\"}", line);
    json reply = runEnvelope(line, [](const json&) { return json(true); });
    EXPECT_EQ(json::parse(id), reply.at("id"));
    EXPECT_EQ(json(true), reply.at("result"));
    EXPECT_EQ(2u, reply.size());
  }
}

TEST(RunEnvelope, ReportsFailuresWithTheLibraryText) {
  struct Case {
    std::string line;
    json expected;
  };
  const Case cases[] = {
      {R"({"op":"x"})", {{"error", "[json.exception.out_of_range.403] key 'id' not found"}}},
      {R"([1,2])", {{"error", "[json.exception.type_error.304] cannot use at() with array"}}},
      {R"({"id":3,"op":"x"})", {{"error", "broken"}, {"id", 3}}},
  };
  for (const Case& c : cases) {
    QueuedLine line;
    routeLine(c.line, line);
    json reply = runEnvelope(line, [](const json&) -> json { throw std::runtime_error("broken"); });
    EXPECT_EQ(c.expected, reply) << c.line;
  }
}

TEST(ReplyLine, IsCompactSortedAndUnescaped) {
  json reply = {{"result", {{"zeta", 1}, {"alpha", "Grüße — ok"}}}, {"id", "x"}};
  EXPECT_EQ("{\"id\":\"x\",\"result\":{\"alpha\":\"Grüße — ok\",\"zeta\":1}}\n", replyLine(reply));
}

TEST(ReplyLine, ReplacesBytesThatAreNotUtf8) {
  json reply = {{"error", std::string("bad \xff\xfe name")}, {"id", 1}};
  EXPECT_EQ("{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD name\",\"id\":1}\n", replyLine(reply));
}

}  // namespace
}  // namespace wf::host
