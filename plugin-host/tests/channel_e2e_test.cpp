// The request/reply envelope, routing and shutdown of the built plugin-host.
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

TEST(Channel, AnswersEveryEnvelopeCaseInOrder) {
  HostSession host;
  struct Case {
    std::string line;
    std::string reply;
  };
  const Case cases[] = {
      {R"({"id":"a","op":"load","plugins":[]})",
       R"({"id":"a","result":{"latency":0,"ready":true}})"},
      {R"({"id":{"k":[1,null]},"op":"nope","index":0})",
       R"({"error":"Insert missing","id":{"k":[1,null]}})"},
      {R"({"id":null,"op":"nope"})",
       R"({"error":"[json.exception.out_of_range.403] key 'index' not found","id":null})"},
      {R"({"op":"load","plugins":[]})",
       R"({"error":"[json.exception.out_of_range.403] key 'id' not found"})"},
      {R"({"id":7})", R"({"error":"[json.exception.out_of_range.403] key 'op' not found","id":7})"},
      {R"([1,2])", R"({"error":"[json.exception.type_error.304] cannot use at() with array"})"},
      {"{\"id\":8,\"op\":\"nope\",\"index\":-1}\r", R"({"error":"Insert missing","id":8})"},
      {R"({"id":9.5,"op":"bypass","index":"x"})",
       R"({"error":"[json.exception.type_error.302] type must be number, but is string","id":9.5})"},
  };
  for (const Case& c : cases) {
    host.sendLine(c.line);
    EXPECT_EQ(c.reply, host.readLine()) << c.line;
  }
}

TEST(Channel, SkipsEmptyLinesButAnswersBlankOnes) {
  HostSession host;
  host.sendLine("");
  host.sendLine("");
  host.sendLine("   ");
  host.sendLine(R"({"id":2,"op":"load","plugins":null})");
  const json blank = host.read();
  EXPECT_FALSE(blank.contains("id"));
  EXPECT_EQ(0u, blank.at("error").get<std::string>().find("[json.exception.parse_error.101]"))
      << blank.dump();
  EXPECT_EQ(json::parse(R"({"id":2,"result":{"latency":0,"ready":true}})"), host.read());
}

TEST(Channel, UnknownOperationOnAnExistingInsert) {
  HostSession host;
  host.result(loadRequest({insert("gain", GAIN, 1)}));
  EXPECT_EQ("Unknown operation", host.error({{"op", "nope"}, {"index", 0}}));
  EXPECT_EQ("Insert missing", host.error({{"op", "nope"}, {"index", 1}}));
}

TEST(Channel, TextThatIsNotUtf8StillGetsAReply) {
  HostSession host;
  host.sendLine("{\"id\":1,\"op\":\"scan\",\"path\":\"/no/such/\xff\xfe.vst3\"}");
  const std::string line = host.readLine();
  const json reply = json::parse(line);  // valid UTF-8, or this throws
  EXPECT_FALSE(reply.contains("result"));
  EXPECT_TRUE(reply.contains("error"));
}

TEST(Channel, EndOfInputEndsWithStatusZeroAfterTheQueuedCommands) {
  HostSession host;
  std::string burst;
  for (int i = 0; i < 20; ++i) {
    burst += R"({"id":)" + std::to_string(i) + R"(,"op":"load","plugins":[]})" + "\n\n";
  }
  host.child().writeStdin(burst);
  auto status = host.finish();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(0, status.code);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(json(i), host.read().at("id"));
  }
}

TEST(Channel, ALineLongerThan32MiBEndsInputButQueuedCommandsAreAnswered) {
  HostSession host;
  host.sendLine(R"({"id":1,"op":"load","plugins":[]})");
  std::string huge(33554433, ' ');
  host.child().writeStdin(huge + "\n" + R"({"id":2,"op":"load","plugins":[]})" + "\n");
  EXPECT_EQ(json(1), host.read().at("id"));
  auto status = host.child().wait(std::chrono::seconds(60));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(0, status->code);
  EXPECT_FALSE(host.child().readLine(std::chrono::milliseconds(100)).has_value());
}

TEST(Channel, ProcessRepliesDoNotWaitForASlowLoad) {
  HostSession host;
  host.send({{"id", "slow"},
             {"op", "load"},
             {"plugins", {insert("faults", FAULTS, 10, {{"state", int32State(3000)}})}}});
  host.send({{"id", "block"}, {"op", "process"}, {"pcm", std::vector<float>(2048, 0.5f)}});
  const json first = host.read();
  const json second = host.read();
  EXPECT_EQ(json("block"), first.at("id"));
  EXPECT_EQ(std::vector<float>(2048, 0.5f), samplesOf(first.at("result")));
  EXPECT_EQ(json::parse(R"({"id":"slow","result":{"latency":0,"ready":true}})"), second);
}

}  // namespace
}  // namespace wf::host::testing
