// "load" through the built plugin-host: failures with their prefixes, the
// previous chain surviving them, the insert limit and the latency sum.
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

// Every test starts with a chain of one gain at half level, whose output
// shows whether it is still the active chain.
class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"), host.result(loadRequest({halfGain()})));
  }
  static json halfGain() { return insert("gain", GAIN, 1, {{"state", floatState(0.25f)}}); }
  std::vector<float> process(float level) {
    return samplesOf(host.result(processRequest(std::vector<float>(2048, level))));
  }
  void expectHalfGainActive() { EXPECT_EQ(std::vector<float>(2048, 0.25f), process(0.5f)); }

  HostSession host;
};

TEST_F(LoadTest, FailuresNameTheInsertAndKeepThePreviousChain) {
  const json named = {{"name", "Ins"}};
  struct Case {
    json descriptor;
    std::string error;
  };
  const Case cases[] = {
      {insert("faults", FAULTS, 3, named), "Ins: Setup failed"},
      {insert("faults", FAULTS, 99), "VST3 effect: VST3 class missing"},
      {insert("faults", FAULTS, 4, named), "Ins: Not an audio effect"},
      {insert("faults", FAULTS, 5, named), "Ins: Audio output required"},
      {insert("faults", FAULTS, 6, named), "Ins: Stereo input/output required"},
      {insert("faults", FAULTS, 7, {{"name", "Ins"}, {"state", int32State(1)}}),
       "Ins: State restore failed"},
      {insert("faults", FAULTS, 8, named), "Ins: Unsupported sample format"},
      {insert("faults", FAULTS, 9, named), "Ins: Activation failed"},
      {insert("faults", FAULTS, 12, named), "Ins: Unsupported bus layout"},
      {insert("gain", GAIN, 1, {{"name", "Ins"}, {"instrument", true}}),
       "Ins: Instrument has no MIDI event input"},
      {insert("gain", GAIN, 2, named), "Ins: Plugin initialization failed"},
      {insert("faults", FAULTS, 7,
              {{"name", "Ins"}, {"state", {{"component", json::array({"x"})}}}}),
       "Ins: [json.exception.type_error.302] type must be number, but is string"},
      {{{"path", bundle("gain")}, {"name", "Ins"}},
       "Ins: [json.exception.out_of_range.403] key 'classId' not found"},
      {{{"path", "/no/such.vst3"}, {"classId", classId(GAIN, 1)}},
       "VST3 effect: VST3 module not found: /no/such.vst3"},
      {insert("noentry", 0, 0, named), "Ins: VST3 module does not export GetPluginFactory: " +
                                           bundle("noentry") + "/Contents/x86_64-linux/noentry.so"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, host.error(loadRequest({c.descriptor}))) << c.descriptor.dump();
  }
  expectHalfGainActive();
}

TEST_F(LoadTest, FactoryIsGivenTheHostContextBeforeCreatingClasses) {
  // This build of the gain creates its processor only after the host handed
  // its factory the host context through IPluginFactory3.
  EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"),
            host.result(loadRequest({insert("gain_context", GAIN, 1,
                                            {{"state", floatState(0.25f)}})})));
  expectHalfGainActive();
}

TEST_F(LoadTest, AFailingThirdInsertTearsDownTheFirstTwo) {
  const json chain = {insert("gain", GAIN, 1), insert("latency", LATENCY, 1),
                      insert("faults", FAULTS, 3, {{"name", "Third"}})};
  EXPECT_EQ("Third: Setup failed", host.error(loadRequest(chain)));
  expectHalfGainActive();
}

TEST_F(LoadTest, AtMostEightInserts) {
  json nine = json::array();
  for (int i = 0; i < 9; ++i) {
    nine.push_back(halfGain());
  }
  EXPECT_EQ("Maximum eight inserts", host.error(loadRequest(nine)));
  expectHalfGainActive();

  nine.erase(nine.begin());
  EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"), host.result(loadRequest(nine)));
  // Eight halvings of 0.5.
  EXPECT_EQ(std::vector<float>(2048, 0.5f / 256.0f), process(0.5f));
}

TEST_F(LoadTest, PluginsMayBeNullAnObjectOrASingleValue) {
  EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"), host.result(loadRequest(nullptr)));
  EXPECT_EQ(std::vector<float>(2048, 0.5f), process(0.5f));

  const json byKey = {{"b", insert("latency", LATENCY, 1, {{"state", int32State(5)}})},
                      {"a", halfGain()}};
  EXPECT_EQ(json::parse(R"({"latency":5,"ready":true})"), host.result(loadRequest(byKey)));
  // Any other single value is a list of that one descriptor.
  EXPECT_EQ("VST3 effect: [json.exception.type_error.306] cannot use value() with string",
            host.error(loadRequest(json("gain"))));
  // Half level, five frames late (the first come from the warm-up block).
  std::vector<float> expected(2048, 0.5f);
  std::fill(expected.begin(), expected.begin() + 10, 0.0f);
  EXPECT_EQ(expected, process(1.0f));
}

TEST_F(LoadTest, ReportsTheSumOfTheLatencies) {
  const json chain = {insert("latency", LATENCY, 1, {{"state", int32State(64)}}),
                      insert("latency", LATENCY, 1, {{"state", int32State(100)}}), halfGain()};
  EXPECT_EQ(json::parse(R"({"latency":164,"ready":true})"), host.result(loadRequest(chain)));

  EXPECT_EQ(
      json::parse(R"({"latency":48000,"ready":true})"),
      host.result(loadRequest({insert("latency", LATENCY, 1, {{"state", int32State(48000)}})})));
}

TEST_F(LoadTest, OverOneSecondOfLatencyFailsButTheNewChainIsActive) {
  const json chain = {insert("latency", LATENCY, 1, {{"state", int32State(24000)}}),
                      insert("latency", LATENCY, 1, {{"state", int32State(24001)}})};
  EXPECT_EQ("Plugin latency exceeds one second", host.error(loadRequest(chain)));
  // The delayed chain answers silence where the gain would have answered 0.25.
  EXPECT_EQ(std::vector<float>(2048, 0.0f), process(0.5f));
}

}  // namespace
}  // namespace wf::host::testing
