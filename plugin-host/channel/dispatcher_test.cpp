#include "channel/dispatcher.h"

#include <gtest/gtest.h>

#include <vector>

namespace wf::host {
namespace {

using nlohmann::json;

// A registry of fakes that record what the dispatcher chose.
class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() {
    registry.addChainOperation("scan", [this](const json&, HostState&) {
      calls.push_back("scan");
      return json::array();
    });
    registry.addInsertOperation("bypass", [this](const json&, Plugin& insert, HostState&) {
      calls.push_back("bypass " + std::to_string(&insert == host.chain.back().get()));
      return json(true);
    });
  }

  json send(const std::string& text) {
    QueuedLine line;
    routeLine(text, line);
    return handleCommand(line, registry, host);
  }

  Registry registry;
  HostState host;
  std::vector<std::string> calls;
};

TEST_F(DispatcherTest, RunsChainOperationsWithoutIndex) {
  EXPECT_EQ(json::parse(R"({"id":1,"result":[]})"), send(R"({"id":1,"op":"scan"})"));
  EXPECT_EQ(std::vector<std::string>{"scan"}, calls);
}

TEST_F(DispatcherTest, ChecksTheIndexBeforeTheOperationName) {
  struct Case {
    std::string line;
    std::string error;
  };
  const Case cases[] = {
      {R"({"id":1,"op":"frobnicate","index":0})", "Insert missing"},
      {R"({"id":1,"op":"bypass","index":0})", "Insert missing"},
      {R"({"id":1,"op":"frobnicate"})", "[json.exception.out_of_range.403] key 'index' not found"},
      {R"({"id":1,"op":"bypass","index":"0"})",
       "[json.exception.type_error.302] type must be number, but is string"},
      {R"({"id":1})", "[json.exception.out_of_range.403] key 'op' not found"},
      {R"({"id":1,"op":5})", "[json.exception.type_error.302] type must be string, but is number"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ((json{{"error", c.error}, {"id", 1}}), send(c.line)) << c.line;
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(DispatcherTest, SelectsTheInsertByIndex) {
  host.chain.push_back(std::make_unique<Plugin>());
  host.chain.push_back(std::make_unique<Plugin>());
  EXPECT_EQ(json::parse(R"({"id":"b","result":true})"),
            send(R"({"id":"b","op":"bypass","index":1,"value":true})"));
  EXPECT_EQ((std::vector<std::string>{"bypass 1"}), calls);
  EXPECT_EQ(json::parse(R"({"id":2,"error":"Unknown operation"})"),
            send(R"({"id":2,"op":"frobnicate","index":0})"));
  EXPECT_EQ(json::parse(R"({"id":3,"error":"Insert missing"})"),
            send(R"({"id":3,"op":"bypass","index":2})"));
}

}  // namespace
}  // namespace wf::host
