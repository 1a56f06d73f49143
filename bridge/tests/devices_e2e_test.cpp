// The device catalogue as RtAudio sees a private PulseAudio daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/pulse_server.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(DevicesE2E, ListsSourcesAndSinksOfTheSoundServer) {
  wf::testing::PulseServer pulse;
  ASSERT_TRUE(pulse.ready());
  wf::testing::Child bridge;
  int port = 0;
  for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
    const int p = wf::testing::freePort();
    wf::testing::SpawnOptions options;
    options.env = pulse.clientEnv();
    bridge = wf::testing::Child::spawn(
        {wf::testing::binPath("audio-bridge"), "--port", std::to_string(p)}, options);
    if (bridge.readLine(30s))
      port = p;
  }
  ASSERT_NE(0, port);

  auto r = wf::testing::httpRequest(port, "GET", "/devices");
  ASSERT_TRUE(r);
  ASSERT_EQ(200, r->status);
  json devices = json::parse(r->body);

  // Inputs in the layer's order, each with its position in the id, its
  // real channel count and the rates the server offers.
  std::map<std::string, json> inputs;
  for (size_t i = 0; i < devices["inputs"].size(); ++i) {
    const json& d = devices["inputs"][i];
    EXPECT_EQ(std::to_string(i) + ":" + d["label"].get<std::string>(), d["deviceId"]);
    EXPECT_EQ(0, d["outputChannels"]);
    EXPECT_EQ(true, d["connected"]);
    inputs[d["label"]] = d;
  }
  ASSERT_TRUE(inputs.count("Sine source at 440 Hz")) << devices;
  ASSERT_TRUE(inputs.count("Monitor of Null Output")) << devices;
  EXPECT_EQ(1, inputs["Sine source at 440 Hz"]["inputChannels"]);
  EXPECT_EQ(2, inputs["Monitor of Null Output"]["inputChannels"]);
  const json& rates = inputs["Sine source at 440 Hz"]["sampleRates"];
  EXPECT_NE(rates.end(), std::find(rates.begin(), rates.end(), 48000)) << rates;
  EXPECT_TRUE(std::is_sorted(rates.begin(), rates.end()));

  ASSERT_EQ(1u, devices["outputs"].size()) << devices;
  EXPECT_EQ("0:Null Output", devices["outputs"][0]["deviceId"]);
  EXPECT_EQ(2, devices["outputs"][0]["outputChannels"]);
  EXPECT_EQ(0, devices["outputs"][0]["inputChannels"]);

  // More channels than the source has are never opened: asking for 8 gets 1.
  r = wf::testing::httpRequest(port, "POST", "/start",
                               R"({"deviceId":"Sine source at 440 Hz","channelCount":8})");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  r = wf::testing::httpRequest(port, "GET", "/health");
  ASSERT_TRUE(r);
  EXPECT_EQ(1, json::parse(r->body)["inputChannels"]);

  // Without a device id the server's default source is opened, recorded
  // under its name.
  r = wf::testing::httpRequest(port, "POST", "/start", "");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  r = wf::testing::httpRequest(port, "GET", "/health");
  ASSERT_TRUE(r);
  EXPECT_EQ("Sine source at 440 Hz", json::parse(r->body)["activeDeviceId"]);

  // An unknown id is a generic failure.
  r = wf::testing::httpRequest(port, "POST", "/start", R"({"deviceId":"9:Nothing"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(500, r->status);
  EXPECT_EQ("", r->body);
  std::string err;
  for (int i = 0; i < 50 && err.find('\n') == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
    err += bridge.drainStderr();
  }
  EXPECT_EQ("request failed: input device not found: 9:Nothing\n", err);
}

}  // namespace
