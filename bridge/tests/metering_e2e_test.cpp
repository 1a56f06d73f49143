// The metered input against a private PulseAudio daemon: a 440 Hz sine
// source of amplitude 0.5 (peak -6.02 dBFS, RMS -9.03 dBFS) and a null sink.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/pulse_server.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using wf::testing::Child;
using wf::testing::PulseServer;

const char* const SINE = "Sine source at 440 Hz";

class MeteringE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pulse_.ready());
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
      const int port = wf::testing::freePort();
      wf::testing::SpawnOptions options;
      options.env = pulse_.clientEnv();
      bridge_ = Child::spawn({wf::testing::binPath("audio-bridge"), "--port", std::to_string(port)},
                             options);
      if (bridge_.readLine(30s)) {
        port_ = port;
      }
    }
    ASSERT_NE(0, port_);
  }

  json get(const std::string& path) {
    auto r = wf::testing::httpRequest(port_, "GET", path);
    EXPECT_TRUE(r);
    if (!r)
      return json();
    EXPECT_EQ(200, r->status) << path << ": " << r->body;
    return json::parse(r->body);
  }
  int post(const std::string& path, const std::string& body = {}) {
    auto r = wf::testing::httpRequest(port_, "POST", path, body);
    return r ? r->status : 0;
  }

  // Polls /meters until the sine's levels show (the first buffers may be
  // silence while the stream starts); the last reply.
  json await_sine_levels() {
    json m;
    for (int i = 0; i < 40; ++i) {
      std::this_thread::sleep_for(250ms);
      m = get("/meters");
      if (m["meters"].size() == 1 && m["meters"][0]["peak"].is_number() &&
          std::abs(m["meters"][0]["peak"].get<double>() + 6.02) < 0.3) {
        break;
      }
    }
    return m;
  }

  void expect_sine_levels(const json& m) {
    EXPECT_EQ(true, m["running"]) << m;
    EXPECT_EQ(48000, m["sampleRate"]);
    EXPECT_EQ(1, m["inputChannels"]);
    ASSERT_EQ(1u, m["meters"].size()) << m;
    EXPECT_EQ(0, m["meters"][0]["channel"]);
    EXPECT_NEAR(-6.02, m["meters"][0]["peak"].get<double>(), 0.3) << m;
    EXPECT_NEAR(-9.03, m["meters"][0]["rms"].get<double>(), 0.3) << m;
  }

  int module_of(const std::string& kind) {
    std::istringstream in(pulse_.pactl({"list", "modules", "short"}));
    std::string line;
    while (std::getline(in, line)) {
      if (line.find(kind) != std::string::npos)
        return std::stoi(line);
    }
    return -1;
  }

  PulseServer pulse_;
  Child bridge_;
  int port_ = 0;
};

std::string sine_id(const json& devices) {
  for (const json& d : devices["inputs"]) {
    if (d["label"] == SINE)
      return d["deviceId"];
  }
  return {};
}

TEST_F(MeteringE2E, MetersTheSineByIdAndByNameAndStops) {
  const std::string id = sine_id(get("/devices"));
  ASSERT_FALSE(id.empty());

  ASSERT_EQ(200, post("/start", json{{"deviceId", id}}.dump()));
  expect_sine_levels(await_sine_levels());
  json health = get("/health");
  EXPECT_EQ(true, health["running"]);
  EXPECT_EQ(1, health["inputChannels"]);
  EXPECT_EQ(id, health["activeDeviceId"]);

  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}, {"channelCount", 2}}.dump()));
  expect_sine_levels(await_sine_levels());
  EXPECT_EQ(SINE, get("/health")["activeDeviceId"]);

  ASSERT_EQ(200, post("/stop"));
  json m = get("/meters");
  EXPECT_EQ(false, m["running"]);
  EXPECT_EQ(0, m["inputChannels"]);
  EXPECT_EQ(json::array(), m["meters"]);
  EXPECT_EQ(SINE, get("/health")["activeDeviceId"]);
  EXPECT_EQ("", bridge_.drainStderr());
}

TEST_F(MeteringE2E, LosingTheSourceIsReportedOnceAndFreezesTheMeters) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  // PulseAudio moves a capture stream whose source goes away to another
  // source when there is one: the null sink (and its monitor) goes first.
  const int sink = module_of("module-null-sink");
  const int sine = pulse_.sineModule();
  ASSERT_GE(sink, 0);
  ASSERT_GE(sine, 0);
  pulse_.pactl({"unload-module", std::to_string(sink)});
  pulse_.pactl({"unload-module", std::to_string(sine)});

  json m;
  for (int i = 0; i < 40; ++i) {
    m = get("/meters");
    if (m["running"] == false)
      break;
    std::this_thread::sleep_for(250ms);
  }
  ASSERT_EQ(false, m["running"]) << m;
  std::this_thread::sleep_for(1s);
  json later = get("/meters");
  EXPECT_EQ(false, later["running"]);
  EXPECT_EQ(m["meters"], later["meters"]);
  EXPECT_NEAR(-6.02, later["meters"][0]["peak"].get<double>(), 0.3);
  EXPECT_GE(later["updatedMsAgo"].get<uint64_t>(), m["updatedMsAgo"].get<uint64_t>() + 900);

  const std::string err = bridge_.drainStderr();
  size_t lines = 0;
  for (size_t at = err.find("audio stream error: "); at != std::string::npos;
       at = err.find("audio stream error: ", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(1u, lines) << err.substr(0, 2000);

  // With no source and no sink left the catalogue fails, and the bridge
  // keeps serving.
  auto devices = wf::testing::httpRequest(port_, "GET", "/devices");
  ASSERT_TRUE(devices);
  EXPECT_EQ(500, devices->status);

  // The silent stream stays until /stop, which still works.
  ASSERT_EQ(200, post("/stop"));
  EXPECT_EQ(0, get("/meters")["inputChannels"]);
}

}  // namespace
