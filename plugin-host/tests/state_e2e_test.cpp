// "state", "bypass", "parameters" and "parameter" through the built
// plugin-host, with the state probe plug-in (output = input x 2 x gain +
// offset; see test-plugins/state_probe.cpp).
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

constexpr int STATE = 0x51;
constexpr int PROBE = 1, NO_CONTROLLER_STATE = 3, NO_STATE = 5;
constexpr int GAIN_ID = 100, OFFSET_ID = 300, ECHO_ID = 400;

json parameterRequest(int index, const json& id, const json& value) {
  return {{"op", "parameter"}, {"index", index}, {"parameter", id}, {"value", value}};
}

json parametersRequest(int index) {
  return {{"op", "parameters"}, {"index", index}};
}

double valueOf(const json& parameters, int id) {
  for (const auto& p : parameters) {
    if (p["id"] == id)
      return p["value"].get<double>();
  }
  ADD_FAILURE() << "no parameter " << id;
  return -1;
}

class StateTest : public ::testing::Test {
 protected:
  std::vector<float> process(const std::vector<float>& pcm) {
    return samplesOf(host.result(processRequest(pcm)));
  }

  HostSession host;
};

TEST_F(StateTest, StateOfAnEmptyChainIsAnEmptyArray) {
  EXPECT_EQ(json::array(), host.result({{"op", "state"}}));
  host.result(loadRequest(json::array()));
  EXPECT_EQ(json::array(), host.result({{"op", "state"}}));
}

TEST_F(StateTest, ParametersListInControllerOrderWithoutTheOnesThatFail) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  host.send({{"id", 1}, {"op", "parameters"}, {"index", 0}});
  std::string line = host.readLine();
  // Non-ASCII titles travel as UTF-8, not escaped.
  EXPECT_NE(std::string::npos, line.find("Verst\u00e4rkung")) << line;
  json expected = json::parse(R"([
    {"id": 100, "name": "Verst\u00e4rkung", "readonly": false, "value": 0.5},
    {"id": 300, "name": "\u97f3\u91cf Offset", "readonly": false, "value": 0.0},
    {"id": 400, "name": "Echo \u2194", "readonly": false, "value": 0.0},
    {"id": 500, "name": "Meter", "readonly": true, "value": 0.25}])");
  EXPECT_EQ(expected, json::parse(line)["result"]);
}

TEST_F(StateTest, ParameterValueMustLieWithinZeroAndOne) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  struct Case {
    json value;
    const char* error;  // null: accepted
  };
  const Case cases[] = {
      {1.0, nullptr},
      {0.0, nullptr},
      {1, nullptr},
      {1.0000001, "Invalid value"},
      {-0.0001, "Invalid value"},
      {2, "Invalid value"},
      {"0.5", "[json.exception.type_error.302] type must be number, but is string"},
      {true, "[json.exception.type_error.302] type must be number, but is boolean"},
  };
  for (const auto& c : cases) {
    json reply = host.call(parameterRequest(0, GAIN_ID, c.value));
    if (c.error) {
      EXPECT_EQ(c.error, reply.value("error", "")) << c.value;
    } else {
      EXPECT_EQ(json(true), reply["result"]) << c.value;
    }
  }
  // The last accepted value stays: a refused request changed nothing.
  EXPECT_EQ(1.0, valueOf(host.result(parametersRequest(0)), GAIN_ID));
}

TEST_F(StateTest, ParameterIdMustFitThirtyTwoBitsUnsigned) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  EXPECT_EQ("[json.exception.out_of_range.403] key 'parameter' not found",
            host.error({{"op", "parameter"}, {"index", 0}, {"value", 0.5}}));
  EXPECT_EQ("[json.exception.out_of_range.403] key 'value' not found",
            host.error({{"op", "parameter"}, {"index", 0}, {"parameter", 1}}));
  for (json id : {json(-1), json(4294967296LL), json(100.5)}) {
    EXPECT_EQ("Invalid parameter", host.error(parameterRequest(0, id, 0.5))) << id;
  }
  EXPECT_EQ("[json.exception.type_error.302] type must be number, but is string",
            host.error(parameterRequest(0, "100", 0.5)));
  EXPECT_EQ(0.5, valueOf(host.result(parametersRequest(0)), GAIN_ID));
  // The largest ID is valid even though no parameter has it.
  EXPECT_EQ(json(true), host.result(parameterRequest(0, 4294967295LL, 0.5)));
}

TEST_F(StateTest, ParameterReachesTheProcessorWithTheNextBlock) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  auto in = ramp(1024);
  EXPECT_EQ(in, process(in));
  host.result(parameterRequest(0, GAIN_ID, 0.25));
  EXPECT_EQ(0.25, valueOf(host.result(parametersRequest(0)), GAIN_ID));
  auto out = process(in);
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_FLOAT_EQ(in[i] * 0.5f, out[i]) << i;
  }
}

TEST_F(StateTest, EditThroughThePluginsHandlerReachesTheProcessorOnTheNextBlock) {
  // Setting "Echo" makes the controller perform an edit of "Offset" through
  // the host's component handler, the way a plug-in's own editor does.
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  auto in = ramp(1024);
  host.result(parameterRequest(0, ECHO_ID, 0.25));
  auto out = process(in);
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_FLOAT_EQ(in[i] + 0.25f, out[i]) << i;
  }
  EXPECT_EQ(0.25, valueOf(host.result(parametersRequest(0)), OFFSET_ID));
}

TEST_F(StateTest, BypassTakesABooleanOnly) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, PROBE)})));
  EXPECT_EQ("[json.exception.type_error.302] type must be boolean, but is number",
            host.error({{"op", "bypass"}, {"index", 0}, {"value", 1}}));
  EXPECT_EQ("[json.exception.out_of_range.403] key 'value' not found",
            host.error({{"op", "bypass"}, {"index", 0}}));
  host.send({{"id", 7}, {"op", "bypass"}, {"index", 0}, {"value", true}});
  EXPECT_EQ(R"({"id":7,"result":true})", host.readLine());
  // Bypassed, the offset the plug-in adds is gone from the output.
  host.result(parameterRequest(0, OFFSET_ID, 0.5));
  auto in = ramp(1024);
  EXPECT_EQ(in, process(in));
  EXPECT_EQ(true, host.result({{"op", "state"}})[0]["bypass"]);
  host.result({{"op", "bypass"}, {"index", 0}, {"value", false}});
  EXPECT_FLOAT_EQ(in[0] + 0.5f, process(in)[0]);
}

TEST_F(StateTest, StateFedBackAsPluginsRebuildsTheSameChain) {
  json label = {{"label", "Lead vocal"}, {"colour", {1, 2, 3}}};
  host.result(
      loadRequest(json::array({insert("state_probe", STATE, PROBE, {{"name", "A"}, {"ui", label}}),
                               insert("state_probe", STATE, PROBE, {{"bypass", false}})})));
  host.result(parameterRequest(0, GAIN_ID, 0.75));
  host.result(parameterRequest(0, ECHO_ID, 0.125));
  host.result({{"op", "bypass"}, {"index", 1}, {"value", true}});
  auto in = ramp(1024);
  auto before = process(in);
  EXPECT_FLOAT_EQ(in[0] * 1.5f + 0.125f, before[0]);
  json parametersBefore = host.result(parametersRequest(0));

  json saved = host.result({{"op", "state"}});
  ASSERT_EQ(2u, saved.size());
  EXPECT_EQ("A", saved[0]["name"]);
  EXPECT_EQ(label, saved[0]["ui"]);
  EXPECT_EQ(false, saved[0]["bypass"]);
  EXPECT_EQ(true, saved[1]["bypass"]);
  EXPECT_EQ(8u, saved[0]["state"]["component"].size());
  EXPECT_EQ(8u, saved[0]["state"]["controller"].size());
  for (const auto& byte : saved[0]["state"]["component"]) {
    EXPECT_TRUE(byte.is_number_unsigned() && byte.get<unsigned>() <= 255) << byte;
  }

  // A fresh process, so nothing but the saved list carries the chain over.
  ASSERT_TRUE(host.finish().exited);
  HostSession restored;
  restored.result(loadRequest(saved));
  EXPECT_EQ(saved, restored.result({{"op", "state"}}));
  EXPECT_EQ(parametersBefore, restored.result(parametersRequest(0)));
  EXPECT_EQ(before, samplesOf(restored.result(processRequest(in))));
}

TEST_F(StateTest, ControllerWithoutStateGivesComponentOnly) {
  host.result(loadRequest(json::array({insert("state_probe", STATE, NO_CONTROLLER_STATE)})));
  json state = host.result({{"op", "state"}})[0]["state"];
  EXPECT_TRUE(state.contains("component"));
  EXPECT_FALSE(state.contains("controller")) << state;
}

TEST_F(StateTest, ComponentRefusingStateFailsTheWholeOperation) {
  host.result(
      loadRequest({insert("state_probe", STATE, PROBE), insert("state_probe", STATE, NO_STATE)}));
  json reply = host.call({{"op", "state"}});
  EXPECT_EQ("Plugin did not provide state", reply.value("error", ""));
  EXPECT_FALSE(reply.contains("result"));
}

}  // namespace
}  // namespace wf::host::testing
