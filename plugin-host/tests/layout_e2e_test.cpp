// Bus layouts beyond one stereo bus each way, through the built plugin-host.
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

std::vector<float> scaled(std::vector<float> samples, float factor) {
  for (float& sample : samples) {
    sample *= factor;
  }
  return samples;
}

TEST(LayoutTest, AStereoEffectWithAMonoSidechainLoadsAndProcesses) {
  HostSession host;
  // The effect fails the load unless its sidechain keeps its mono
  // arrangement, and fails any block without a silent sidechain buffer.
  EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"),
            host.result(loadRequest({insert("sidechain", SIDECHAIN, 1)})));
  for (int start : {1, 1025}) {
    EXPECT_EQ(scaled(ramp(1024, start), 0.5f),
              samplesOf(host.result(processRequest(ramp(1024, start)))));
  }
}

// Blocks of the ramp with both channels taken from one of its channels
// (0 left, 1 right), or unchanged for -1.
std::vector<float> rampBlock(int block, int channel) {
  std::vector<float> samples = ramp(1024, 1 + 1024 * block);
  if (channel >= 0) {
    for (size_t k = 0; k < samples.size(); k += 2) {
      samples[k] = samples[k + 1] = samples[k + static_cast<size_t>(channel)];
    }
  }
  return samples;
}

// Loads the mono test effect and runs three ramp blocks through it; returns
// the output's left and right channels.
std::pair<std::vector<float>, std::vector<float>> runMono(int channel) {
  HostSession host;
  EXPECT_EQ(json::parse(R"({"latency":0,"ready":true})"),
            host.result(loadRequest({insert("mono", MONO, 1)})));
  std::pair<std::vector<float>, std::vector<float>> out;
  for (int block = 0; block < 3; ++block) {
    const auto samples = samplesOf(host.result(processRequest(rampBlock(block, channel))));
    for (size_t k = 0; k < samples.size(); k += 2) {
      out.first.push_back(samples[k]);
      out.second.push_back(samples[k + 1]);
    }
  }
  return out;
}

TEST(LayoutTest, AMonoEffectRunsEachChannelInItsOwnInstanceLikeTwoSeparateLoads) {
  const auto stereo = runMono(-1);
  // Each output sample is the running sum of its own channel's input.
  float sum = 0;
  for (int block = 0; block < 3; ++block) {
    const auto input = rampBlock(block, -1);
    for (size_t k = 0; k < input.size(); k += 2) {
      sum += input[k];
      ASSERT_EQ(sum, stereo.first.at(static_cast<size_t>(block) * 1024 + k / 2)) << k;
      ASSERT_EQ(-sum, stereo.second.at(static_cast<size_t>(block) * 1024 + k / 2)) << k;
    }
  }
  // The same as loading the effect once for the left signal alone and once
  // for the right signal alone.
  EXPECT_EQ(runMono(0).first, stereo.first);
  EXPECT_EQ(runMono(1).second, stereo.second);
}

TEST(LayoutTest, ParameterPointsAndARestoredStateReachBothMonoInstances) {
  HostSession host;
  host.result(loadRequest({insert("mono", MONO, 1, {{"state", floatState(0.25f)}})}));
  const std::vector<float> silence(2048, 0.0f);
  EXPECT_EQ(std::vector<float>(2048, 0.25f), samplesOf(host.result(processRequest(silence))));

  EXPECT_EQ(true,
            host.result({{"op", "parameter"}, {"index", 0}, {"parameter", 0}, {"value", 0.75}}));
  EXPECT_EQ(std::vector<float>(2048, 0.75f), samplesOf(host.result(processRequest(silence))));

  // The insert's state and parameters are the primary's.
  EXPECT_EQ(floatState(0.75f).at("component"),
            host.result({{"op", "state"}}).at(0).at("state").at("component"));
  EXPECT_EQ(0.75, host.result({{"op", "parameters"}, {"index", 0}}).at(0).at("value"));
}

TEST(LayoutTest, BypassCoversBothMonoInstances) {
  HostSession host;
  host.result(
      loadRequest({insert("mono", MONO, 1, {{"bypass", true}, {"state", floatState(0.5f)}})}));
  EXPECT_EQ(ramp(1024), samplesOf(host.result(processRequest(ramp(1024)))));
}

TEST(LayoutTest, AnEffectRefusingStereoAndMonoFails) {
  HostSession host;
  EXPECT_EQ("VST3 effect: Stereo input/output required",
            host.error(loadRequest({insert("faults", FAULTS, 6)})));
}

}  // namespace
}  // namespace wf::host::testing
