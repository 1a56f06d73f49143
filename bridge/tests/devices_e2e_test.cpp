// The device catalogue of a private sound server (PulseAudio, and PipeWire's
// pulse server): its sources are the inputs, its sinks the outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/sound_server.h"
#include "testing/wait_for.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Starts the bridge against `pulse`; its port, or 0.
int start_bridge(const wf::testing::SoundServer& pulse, wf::testing::Child& bridge) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int p = wf::testing::freePort();
    wf::testing::SpawnOptions options;
    options.env = pulse.clientEnv();
    bridge = wf::testing::Child::spawn(
        {wf::testing::binPath("audio-bridge"), "--port", std::to_string(p)}, options);
    if (bridge.readLine(30s))
      return p;
  }
  return 0;
}

class DevicesE2E : public ::testing::TestWithParam<wf::testing::SoundServerKind> {};

const json STANDARD_RATES = {8000,  11025, 16000, 22050,  32000, 44100,
                             48000, 88200, 96000, 176400, 192000};

TEST_P(DevicesE2E, ListsSourcesAndSinksOfTheSoundServer) {
  const auto server = wf::testing::startSoundServer(GetParam());
  wf::testing::SoundServer& pulse = *server;
  ASSERT_TRUE(pulse.ready());
  wf::testing::Child bridge;
  const int port = start_bridge(pulse, bridge);
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
    inputs[d["label"]] = d;
  }
  ASSERT_TRUE(inputs.count("Sine source at 440 Hz")) << devices;
  ASSERT_TRUE(inputs.count("Monitor of Null Output")) << devices;
  EXPECT_EQ(pulse.sineChannels(), inputs["Sine source at 440 Hz"]["inputChannels"]);
  EXPECT_EQ(2, inputs["Monitor of Null Output"]["inputChannels"]);
  // The source's own rate and the standard rates the server converts to.
  EXPECT_EQ(STANDARD_RATES, inputs["Sine source at 440 Hz"]["sampleRates"]);

  ASSERT_EQ(1u, devices["outputs"].size()) << devices;
  EXPECT_EQ("0:Null Output", devices["outputs"][0]["deviceId"]);
  EXPECT_EQ(2, devices["outputs"][0]["outputChannels"]);
  EXPECT_EQ(0, devices["outputs"][0]["inputChannels"]);

  // More channels than the source has are never opened: asking for 8 gets
  // the source's own.
  r = wf::testing::httpRequest(port, "POST", "/start",
                               R"({"deviceId":"Sine source at 440 Hz","channelCount":8})");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  r = wf::testing::httpRequest(port, "GET", "/health");
  ASSERT_TRUE(r);
  EXPECT_EQ(pulse.sineChannels(), json::parse(r->body)["inputChannels"]);

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
  wf::testing::waitFor(
      [&] {
        err = bridge.drainStderr();
        return err.find('\n') != std::string::npos;
      },
      5s, "the failure line");
  EXPECT_EQ("request failed: input device not found: 9:Nothing\n", err);
}

TEST_P(DevicesE2E, ChannelsAndTheOwnRateAreTheServersAndEveryListingIsFresh) {
  const auto server = wf::testing::startSoundServer(GetParam());
  wf::testing::SoundServer& pulse = *server;
  ASSERT_TRUE(pulse.ready());
  wf::testing::Child bridge;
  const int port = start_bridge(pulse, bridge);
  ASSERT_NE(0, port);

  // A device added while the bridge runs, with six channels at a rate of
  // its own.
  const std::string wide_module =
      pulse.pactl({"load-module", "module-null-sink", "sink_name=wide", "channels=6", "rate=37800",
                   "sink_properties=device.description=Wide"});
  auto r = wf::testing::httpRequest(port, "GET", "/devices");
  ASSERT_TRUE(r);
  ASSERT_EQ(200, r->status);
  json devices = json::parse(r->body);
  json rates = STANDARD_RATES;
  rates.insert(rates.begin() + 5, 37800);  // between 32000 and 44100
  bool monitor = false;
  for (const json& d : devices["inputs"]) {
    if (d["label"] == "Monitor of Wide") {
      monitor = true;
      EXPECT_EQ(6, d["inputChannels"]);
      EXPECT_EQ(rates, d["sampleRates"]);
    }
  }
  EXPECT_TRUE(monitor) << devices;
  ASSERT_EQ(2u, devices["outputs"].size()) << devices;
  EXPECT_EQ("1:Wide", devices["outputs"][1]["deviceId"]);
  EXPECT_EQ(6, devices["outputs"][1]["outputChannels"]);
  EXPECT_EQ(rates, devices["outputs"][1]["sampleRates"]);

  // "connected" is true on every entry because a device that has gone is
  // not listed at all: unloading the sink takes it and its monitor away.
  pulse.pactl({"unload-module", wide_module.substr(0, wide_module.find('\n'))});
  r = wf::testing::httpRequest(port, "GET", "/devices");
  ASSERT_TRUE(r);
  devices = json::parse(r->body);
  for (const char* side : {"inputs", "outputs"}) {
    for (const json& d : devices[side]) {
      EXPECT_EQ(std::string::npos, d["label"].get<std::string>().find("Wide")) << devices;
      EXPECT_EQ(true, d["connected"]) << devices;
    }
  }
  EXPECT_EQ(1u, devices["outputs"].size()) << devices;
  EXPECT_EQ("", bridge.drainStderr());
}

INSTANTIATE_TEST_SUITE_P(Servers, DevicesE2E,
                         ::testing::Values(wf::testing::SoundServerKind::pulseaudio,
                                           wf::testing::SoundServerKind::pipewire),
                         [](const auto& info) { return wf::testing::nameOf(info.param); });

}  // namespace
