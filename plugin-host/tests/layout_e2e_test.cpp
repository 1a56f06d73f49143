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

}  // namespace
}  // namespace wf::host::testing
