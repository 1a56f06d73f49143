// Host duties that real plug-ins rely on, through the built plugin-host: the
// controller starts from the processor's state, and a latency the plug-in
// announces from its own thread is followed in place.
#include <gtest/gtest.h>

#include "host_session.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

constexpr double MAX_LATENCY = 96000.0;
const std::string CHANGED = "Plugin layout or latency changed; reload the insert";

json announcer(const json& extra = json::object()) {
  return insert("announcer", ANNOUNCER, 1, extra);
}

double parameterValue(HostSession& host, int index, int id) {
  for (const auto& record : host.result({{"op", "parameters"}, {"index", index}})) {
    if (record.at("id") == id) {
      return record.at("value").get<double>();
    }
  }
  ADD_FAILURE() << "no parameter " << id;
  return -1;
}

// Interleaved stereo ramp for frames [start, start + 1024): left = n / 4096,
// right = -n / 4096 for frame n.
std::vector<float> frames(int start) {
  return ramp(1024, start);
}

TEST(ControllerState, StartsFromTheProcessorsValuesThenTheDescriptorsState) {
  HostSession host;
  host.result(loadRequest({announcer()}));
  // The processor starts at 480 samples; the controller's default is 0.
  EXPECT_DOUBLE_EQ(480 / MAX_LATENCY, parameterValue(host, 0, 0));

  host.result(loadRequest({announcer({{"state", int32State(960)}})}));
  EXPECT_DOUBLE_EQ(960 / MAX_LATENCY, parameterValue(host, 0, 0));
}

TEST(LatencyChange, AnUnchangedLatencyAnnouncedAfterActivationKeepsProcessing) {
  HostSession host;
  const json load = host.result(loadRequest({announcer({{"bypass", true}})}));
  EXPECT_EQ(480, load.at("latency"));
  // The plug-in's thread has announced once activation was done.
  int turns = 0;
  while (parameterValue(host, 0, 1) < 0.0005 && ++turns < 10000) {
  }
  ASSERT_GE(parameterValue(host, 0, 1), 0.0005) << "no announcement";

  for (int block = 0; block < 5; ++block) {
    const json reply = host.call(processRequest(frames(1 + 1024 * block)));
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 200);
    EXPECT_FALSE(reply.contains("latency"));
    if (block > 0) {
      // Bypass stays 480 frames late.
      EXPECT_EQ(frames(1 + 1024 * block - 480), samplesOf(reply.at("result")));
    }
  }
}

TEST(LatencyChange, AnAnnouncedChangeMovesTheDryDelayAndIsReportedOnce) {
  HostSession host;
  host.result(loadRequest(
      {insert("gain", GAIN, 1), announcer({{"bypass", true}, {"state", int32State(64)}})}));
  int next = 1;
  for (int block = 0; block < 2; ++block, next += 1024) {
    host.result(processRequest(frames(next)));
  }
  host.result({{"op", "parameter"}, {"index", 1}, {"parameter", 0}, {"value", 128 / MAX_LATENCY}});

  // The change lands with the next block; the plug-in announces it from its
  // thread, and a later block is the first to run with it.
  json reported;
  for (int block = 0; block < 10000 && reported.is_null(); ++block, next += 1024) {
    const json reply = host.call(processRequest(frames(next)));
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 200);
    if (reply.contains("latency")) {
      reported = reply.at("latency");
    }
  }
  EXPECT_EQ(128, reported);
  for (int block = 0; block < 3; ++block, next += 1024) {
    const json reply = host.call(processRequest(frames(next)));
    EXPECT_FALSE(reply.contains("latency"));
    // Bypass is aligned with the new latency.
    EXPECT_EQ(frames(next - 128), samplesOf(reply.at("result")));
  }

  // Back down: the delay follows a fall as well.
  host.result({{"op", "parameter"}, {"index", 1}, {"parameter", 0}, {"value", 32 / MAX_LATENCY}});
  reported = json();
  for (int block = 0; block < 10000 && reported.is_null(); ++block, next += 1024) {
    const json reply = host.call(processRequest(frames(next)));
    ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 200);
    if (reply.contains("latency")) {
      reported = reply.at("latency");
      EXPECT_EQ(frames(next - 32), samplesOf(reply.at("result")));
    }
  }
  EXPECT_EQ(32, reported);
  const json reply = host.call(processRequest(frames(next)));
  EXPECT_EQ(frames(next - 32), samplesOf(reply.at("result")));
}

TEST(LatencyChange, AChangeBeyondTheChainLimitIsRefusedUntilAReload) {
  HostSession host;
  const json latency = insert("latency", LATENCY, 1, {{"state", int32State(47000)}});
  EXPECT_EQ(
      47064,
      host.result(loadRequest({latency, announcer({{"state", int32State(64)}})})).at("latency"));
  host.result({{"op", "parameter"}, {"index", 1}, {"parameter", 0}, {"value", 2000 / MAX_LATENCY}});
  std::string error;
  for (int block = 0; block < 10000 && error.empty(); ++block) {
    const json reply = host.call(processRequest(frames(1)));
    EXPECT_FALSE(reply.contains("latency"));
    error = reply.value("error", "");
  }
  EXPECT_EQ(CHANGED, error);
  EXPECT_EQ(CHANGED, host.error(processRequest(frames(1))));
  EXPECT_EQ("Plugin latency exceeds one second",
            host.error(loadRequest({latency, announcer({{"state", int32State(2000)}})})));
}

}  // namespace
}  // namespace wf::host::testing
