// The metered input against sound servers that hang: a private PulseAudio
// stopped with SIGSTOP, and a private PipeWire whose core alone is stopped
// while its pulse server goes on answering device listings. Whatever /start
// gave up on must not turn up later as a recording stream of the bridge.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/sound_server.h"
#include "testing/wait_for.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using wf::testing::Child;
using wf::testing::SoundServerKind;
using wf::testing::waitFor;

const char* const SINE = "Sine source at 440 Hz";

class SoundFaultsE2E : public ::testing::TestWithParam<SoundServerKind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_->ready());
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
      const int port = wf::testing::freePort();
      wf::testing::SpawnOptions options;
      options.env = server_->clientEnv();
      bridge_ = Child::spawn({wf::testing::binPath("audio-bridge"), "--port", std::to_string(port)},
                             options);
      if (bridge_.readLine(30s)) {
        port_ = port;
      }
    }
    ASSERT_NE(0, port_);
  }

  int post(const std::string& path, const std::string& body = {}) {
    auto r = wf::testing::httpRequest(port_, "POST", path, body, {}, 10s);
    return r ? r->status : 0;
  }

  // Waits until the server lists exactly `n` recording streams.
  bool await_streams(size_t n) {
    return waitFor([&] { return server_->recordingStreams().size() == n; }, 20s,
                   std::to_string(n) + " recording streams on the server");
  }

  std::unique_ptr<wf::testing::SoundServer> server_ = wf::testing::startSoundServer(GetParam());
  Child bridge_;
  int port_ = 0;
};

TEST_P(SoundFaultsE2E, ATimedOutStartLeavesNoStreamAfterTheResume) {
  ASSERT_TRUE(await_streams(0));
  // The bridge's connection is made while the server answers.
  auto devices = wf::testing::httpRequest(port_, "GET", "/devices");
  ASSERT_TRUE(devices);
  ASSERT_EQ(200, devices->status);
  server_->pauseCore();
  // PulseAudio answers nothing, so the listing gives up; PipeWire's pulse
  // server lists the devices, and the opening gives up at its 100 ms.
  EXPECT_EQ(500, post("/start", json{{"deviceId", SINE}}.dump()));
  server_->resume();

  // A stream request still on its way is carried out now, and must be
  // disconnected at once. The next /start reaches the server after it: the
  // server then holds the new stream alone, and nothing once it stops.
  ASSERT_TRUE(waitFor(
      [&] {
        return post("/start", json{{"deviceId", SINE}}.dump()) == 200;
      },
      20s, "/start to succeed after the resume"));
  EXPECT_TRUE(await_streams(1));
  ASSERT_EQ(200, post("/stop"));
  EXPECT_TRUE(await_streams(0)) << "a stream given up on stayed with the bridge";
}

// Given up on twice while a stream plays: the playing one is released by
// the /start, and neither attempt leaves anything behind.
TEST_P(SoundFaultsE2E, RepeatedTimedOutStartsLeaveNothingBehind) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  ASSERT_TRUE(await_streams(1));
  server_->pauseCore();
  EXPECT_EQ(500, post("/start", json{{"deviceId", SINE}}.dump()));
  EXPECT_EQ(500, post("/start", json{{"deviceId", SINE}}.dump()));
  server_->resume();
  EXPECT_TRUE(await_streams(0)) << "a stream given up on stayed with the bridge";
  EXPECT_EQ(200, post("/stop"));
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundFaultsE2E,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& info) { return wf::testing::nameOf(info.param); });

}  // namespace
