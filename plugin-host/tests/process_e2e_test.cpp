// "process" through the built plugin-host: block sizes, bypass aligned with
// latency, instrument events and transport, rejected output and restarts.
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

// The report the test instrument writes into its left channel (see
// test-plugins/instrument.cpp).
struct Report {
  explicit Report(const json& result) {
    const auto samples = samplesOf(result);
    for (size_t i = 0; i < samples.size(); i += 2) {
      left.push_back(samples[i]);
    }
  }
  double at(size_t i) const { return left.at(i); }
  double flags() const { return at(0); }
  double tempo() const { return at(1); }
  double beat() const { return at(2); }
  double projectSamples() const { return at(3); }
  double continuousSamples() const { return at(4); }
  int events() const { return static_cast<int>(at(5)); }
  int queues() const { return static_cast<int>(at(6)); }
  int frames() const { return static_cast<int>(at(7)); }
  // type, channel, pitch, note ID, velocity, offset of event i.
  std::vector<double> event(int i) const {
    return {left.begin() + 8 + 6 * i, left.begin() + 14 + 6 * i};
  }
  // ID, point count, last offset, last value of queue q (after all events).
  std::vector<double> queue(int q) const {
    const auto start = left.begin() + 8 + 6 * events() + 4 * q;
    return {start, start + 4};
  }
  std::vector<float> left;
};

class ProcessTest : public ::testing::Test {
 protected:
  json instrumentBlock(const json& extra = json::object()) {
    json request = processRequest(std::vector<float>(512, 0.0f), {{"instrument", true}});
    request.update(extra);
    return host.result(request);
  }
  void loadInstrument(const json& extra = json::object()) {
    json descriptor = insert("instrument", INSTRUMENT, 1, {{"instrument", true}});
    descriptor.update(extra);
    host.result(loadRequest({descriptor}));
  }

  HostSession host;
};

TEST_F(ProcessTest, AnEmptyChainReturnsTheSamplesAtFloatPrecision) {
  std::vector<double> pcm(2048);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = 0.1 * static_cast<double>(i % 11) - 0.5;
  }
  const json result = host.result({{"op", "process"}, {"pcm", pcm}});
  ASSERT_EQ(2048u, result.size());
  for (size_t i = 0; i < pcm.size(); ++i) {
    EXPECT_EQ(static_cast<double>(static_cast<float>(pcm[i])), result[i].get<double>()) << i;
  }
}

TEST_F(ProcessTest, BlockSizes) {
  EXPECT_EQ(512u, host.result(processRequest(ramp(256), {{"instrument", true}})).size());
  const std::pair<json, std::string> failures[] = {
      {processRequest(ramp(256)), "Invalid audio block size"},
      {processRequest(ramp(256), {{"instrument", false}}), "Invalid audio block size"},
      {processRequest(ramp(1023)), "Invalid audio block size"},
      {processRequest(ramp(1025), {{"instrument", true}}), "Invalid audio block size"},
      {{{"op", "process"}}, "[json.exception.out_of_range.403] key 'pcm' not found"},
      {{{"op", "process"}, {"pcm", json::array({1, "x"})}},
       "[json.exception.type_error.302] type must be number, but is string"},
  };
  for (const auto& [request, error] : failures) {
    EXPECT_EQ(error, host.error(request)) << request.dump().substr(0, 80);
  }
  // A process line without an id is answered without one.
  host.sendLine(R"({"op":"process","pcm":[]})");
  EXPECT_EQ(json::parse(R"({"error":"[json.exception.out_of_range.403] key 'id' not found"})"),
            host.read());
}

TEST_F(ProcessTest, BypassFollowsTheReportedLatencyStartingFromTheWarmUpBlock) {
  for (bool bypass : {true, false}) {
    host.result(loadRequest(
        {insert("latency", LATENCY, 1, {{"state", int32State(64)}, {"bypass", bypass}})}));
    const auto first = samplesOf(host.result(processRequest(ramp(1024, 1))));
    const auto second = samplesOf(host.result(processRequest(ramp(1024, 1025))));
    const auto delayedFirst = ramp(1024 - 64, 1);
    std::vector<float> expected(128, 0.0f);
    expected.insert(expected.end(), delayedFirst.begin(), delayedFirst.end());
    EXPECT_EQ(expected, first) << "bypass " << bypass;
    EXPECT_EQ(ramp(1024, 1024 - 64 + 1), second) << "bypass " << bypass;
  }
}

TEST_F(ProcessTest, ABypassedInstrumentIsSilent) {
  loadInstrument({{"bypass", true}});
  const auto out = samplesOf(instrumentBlock());
  EXPECT_EQ(std::vector<float>(512, 0.0f), out);
}

TEST_F(ProcessTest, InstrumentReceivesNotesAndTransport) {
  loadInstrument();
  const Report report(instrumentBlock(
      {{"tempo", 90.5},
       {"beat", 3.25},
       {"playing", true},
       {"events",
        {{{"type", 1}, {"channel", 2}, {"number", 60}, {"value", 0.5}, {"offset", 12}},
         {{"type", 0}, {"channel", 2}, {"number", 60}, {"value", 1}, {"offset", 200}}}}}));
  EXPECT_EQ(0x22602, report.flags());
  EXPECT_EQ(90.5, report.tempo());
  EXPECT_EQ(3.25, report.beat());
  EXPECT_EQ(1024, report.projectSamples());  // after the warm-up block
  EXPECT_EQ(1024, report.continuousSamples());
  EXPECT_EQ(256, report.frames());
  ASSERT_EQ(2, report.events());
  EXPECT_EQ((std::vector<double>{0, 2, 60, 316, 0.5, 12}), report.event(0));  // note on
  EXPECT_EQ((std::vector<double>{1, 2, 60, 316, 0, 200}), report.event(1));   // note off
  EXPECT_EQ(0, report.queues());

  const Report next(instrumentBlock());
  EXPECT_EQ(0x22600, next.flags());
  EXPECT_EQ(120, next.tempo());
  EXPECT_EQ(0, next.beat());
  EXPECT_EQ(1024 + 256, next.projectSamples());
  EXPECT_EQ(0, next.events());
}

TEST_F(ProcessTest, MappedControllersBecomeParameterChangesAndOthersAreDropped) {
  loadInstrument();
  const Report report(instrumentBlock(
      {{"events",
        {{{"type", 176}, {"channel", 0}, {"number", 7}, {"value", 0.25}, {"offset", 3}},
         {{"type", 3}, {"number", 0}, {"value", 0.75}},
         {{"type", 176}, {"channel", 1}, {"number", 1}, {"value", 0.5}},
         {{"type", 176}, {"channel", 0}, {"number", 8}, {"value", 0.5}},
         {{"type", 176}, {"channel", 20}, {"number", 7}, {"value", 0.5}}}}}));
  EXPECT_EQ(0, report.events());
  ASSERT_EQ(3, report.queues());
  EXPECT_EQ((std::vector<double>{100, 1, 3, 0.25}), report.queue(0));
  EXPECT_EQ((std::vector<double>{101, 1, 0, 0.75}), report.queue(1));
  EXPECT_EQ((std::vector<double>{102, 1, 0, 0.5}), report.queue(2));

  // The points were delivered once and cleared.
  EXPECT_EQ(0, Report(instrumentBlock()).queues());
}

TEST_F(ProcessTest, EventsBeyondTheListCapacityAreDropped) {
  loadInstrument();
  json events = json::array();
  for (int i = 0; i < 2100; ++i) {
    events.push_back({{"type", 1}, {"number", i % 128}, {"value", 1}});
  }
  json request = processRequest(std::vector<float>(2048, 0.0f), {{"events", events}});
  EXPECT_EQ(2048, Report(host.result(request)).events());
}

TEST_F(ProcessTest, EffectsIgnoreEvents) {
  host.result(loadRequest({insert("gain", GAIN, 1)}));
  const json events = {{{"type", 1}}};  // would fail if it were read
  EXPECT_EQ(
      std::vector<float>(2048, 0.5f),
      samplesOf(host.result(processRequest(std::vector<float>(2048, 0.5f), {{"events", events}}))));
}

TEST_F(ProcessTest, NonFiniteOutputFailsEvenWhenBypassed) {
  for (bool bypass : {false, true}) {
    host.result(loadRequest({insert("faults", FAULTS, 1, {{"bypass", bypass}})}));
    EXPECT_EQ("Invalid plugin audio", host.error(processRequest(ramp(1024))));
    // Silence makes no NaN: the insert keeps working.
    EXPECT_EQ(std::vector<float>(2048, 0.0f),
              samplesOf(host.result(processRequest(std::vector<float>(2048, 0.0f)))));
  }
}

TEST_F(ProcessTest, ARefusedBlockFailsAndLaterInsertsDoNotRun) {
  // The meter after the refusing insert counts the blocks it sees in its
  // state (its second int32); the warm-up block is its first.
  host.result(loadRequest({insert("faults", FAULTS, 11), insert("meter", METER, 1)}));
  auto meterBlocks = [&] {
    const json bytes = host.result({{"op", "state"}}).at(1).at("state").at("component");
    return bytes.at(4).get<int>() | bytes.at(5).get<int>() << 8;
  };
  ASSERT_EQ(1, meterBlocks());
  EXPECT_EQ("Processing failed", host.error(processRequest(ramp(1024))));
  EXPECT_EQ(1, meterBlocks());
  // A block the first insert takes (silence) does reach the meter.
  host.result(processRequest(std::vector<float>(2048, 0.0f)));
  EXPECT_EQ(2, meterBlocks());
}

TEST_F(ProcessTest, AReloadOrIoRestartFailsEveryLaterBlockUntilTheNextLoad) {
  const std::string changed = "Plugin layout or latency changed; reload the insert";
  // kReloadComponent, kIoChanged, and either with kLatencyChanged.
  for (int flags : {1, 2, 1 | 8, 2 | 8}) {
    const json restart = insert("faults", FAULTS, 2, {{"state", int32State(flags)}});
    host.result(loadRequest({restart}));
    host.result(processRequest(ramp(1024)));  // asks for the restart
    EXPECT_EQ(changed, host.error(processRequest(ramp(1024)))) << flags;
    EXPECT_EQ(changed, host.error(processRequest(ramp(1024)))) << flags;

    host.result(loadRequest({restart}));
    EXPECT_EQ(ramp(1024), samplesOf(host.result(processRequest(ramp(1024))))) << flags;
  }

  // Neither a request outside reload and I/O changes (parameter values), nor
  // a latency change alone that leaves the latency as it was, refuses blocks.
  for (int flags : {4, 8}) {
    json notARestart = insert("faults", FAULTS, 2, {{"state", int32State(flags)}});
    host.result(loadRequest({notARestart}));
    for (int i = 0; i < 3; ++i) {
      const json reply = host.call(processRequest(ramp(1024)));
      EXPECT_EQ(ramp(1024), samplesOf(reply.value("result", json::array()))) << flags;
      EXPECT_FALSE(reply.contains("latency")) << flags;
    }
  }
}

}  // namespace
}  // namespace wf::host::testing
