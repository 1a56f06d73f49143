// The metered input against a private sound server, PulseAudio and PipeWire:
// a 440 Hz sine source of amplitude 0.5 (peak -6.02 dBFS, RMS -9.03 dBFS) and
// a null sink. The server is also made to fail the way a real one does: a
// source that is removed, a server that is killed, stopped (SIGSTOP) or
// started again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

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
const char* const STREAM_ERROR = "audio stream error: ";

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// CPU time (user + system) a process has used so far.
std::chrono::milliseconds cpu_time(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) {
      ticks += std::stol(field);
    }
  }
  return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

class MeteringE2E : public ::testing::TestWithParam<SoundServerKind> {
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
    waitFor(
        [&] {
          m = get("/meters");
          return m["meters"].size() == pulse_.sineChannels() &&
                 m["meters"][0]["peak"].is_number() &&
                 std::abs(m["meters"][0]["peak"].get<double>() + 6.02) < 0.3;
        },
        10s, "the sine's levels on /meters");
    return m;
  }

  // Polls /meters until "running" is false; the last reply.
  json await_stopped() {
    json m;
    waitFor(
        [&] {
          m = get("/meters");
          return m["running"] == false;
        },
        10s, "\"running\": false on /meters");
    return m;
  }

  // Everything the bridge wrote to standard error so far.
  std::string stderr_text() { return bridge_.drainStderr(); }

  // Standard error holds only the bridge's own lines: stream errors and
  // failed requests with the errors they wrap.
  void expect_only_designed_lines() {
    std::istringstream in(stderr_text());
    std::string line;
    while (std::getline(in, line)) {
      EXPECT_TRUE(line.rfind(STREAM_ERROR, 0) == 0 || line.rfind("request failed: ", 0) == 0 ||
                  line.rfind("  caused by: ", 0) == 0)
          << "stray line on standard error: " << line;
    }
  }

  // Status and time taken of one request on a fresh connection.
  std::pair<int, std::chrono::milliseconds> timed(const std::string& method,
                                                  const std::string& path) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = wf::testing::httpRequest(port_, method, path, {}, {}, 10s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    return {r ? r->status : 0, took};
  }

  void expect_sine_levels(const json& m) {
    EXPECT_EQ(true, m["running"]) << m;
    EXPECT_EQ(48000, m["sampleRate"]);
    EXPECT_EQ(pulse_.sineChannels(), m["inputChannels"]);
    ASSERT_EQ(pulse_.sineChannels(), m["meters"].size()) << m;
    for (size_t c = 0; c < m["meters"].size(); ++c) {
      EXPECT_EQ(c, m["meters"][c]["channel"]);
      EXPECT_NEAR(-6.02, m["meters"][c]["peak"].get<double>(), 0.3) << m;
      EXPECT_NEAR(-9.03, m["meters"][c]["rms"].get<double>(), 0.3) << m;
    }
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

  std::unique_ptr<wf::testing::SoundServer> server_ = wf::testing::startSoundServer(GetParam());
  wf::testing::SoundServer& pulse_ = *server_;
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

TEST_P(MeteringE2E, MetersTheSineByIdAndByNameAndStops) {
  const std::string id = sine_id(get("/devices"));
  ASSERT_FALSE(id.empty());

  ASSERT_EQ(200, post("/start", json{{"deviceId", id}}.dump()));
  expect_sine_levels(await_sine_levels());
  json health = get("/health");
  EXPECT_EQ(true, health["running"]);
  EXPECT_EQ(pulse_.sineChannels(), health["inputChannels"]);
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

TEST_P(MeteringE2E, AStartThatFindsNoDeviceLeavesNothingShownRunning) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  EXPECT_EQ(500, post("/start", R"({"deviceId":"9:Nothing"})"));
  json m = get("/meters");
  EXPECT_EQ(false, m["running"]) << m;
  json health = get("/health");
  EXPECT_EQ(false, health["running"]) << health;
  // The rest still describes the stream that was released.
  EXPECT_EQ(SINE, health["activeDeviceId"]);
  EXPECT_EQ(pulse_.sineChannels(), health["inputChannels"]);
  // Written before the next request was taken.
  EXPECT_EQ("request failed: input device not found: 9:Nothing\n", stderr_text());
}

// The server's own sine source hands out two seconds at a time; a sine played
// into the null sink reaches its monitor every few tens of milliseconds, in
// pieces of any size, down to a few frames. Every reply must show one whole
// buffer of the size the stream asked for (20 ms, nearly nine periods), so
// its peak is the sine's crest: a piece of a few frames near a zero crossing
// would read as silence while the sine plays. (The server's mixing may bend
// a buffer's RMS a little now and then; its crest stays.)
TEST_P(MeteringE2E, EveryBufferOfAFastSourceShowsTheWholeSine) {
  if (GetParam() == SoundServerKind::pipewire) {
    // Its pulse server has no module-sine, and a loopback of the sine into
    // the null sink leaves the monitor silent (it delivers buffers of zeros).
    GTEST_SKIP() << "no sine player into a PipeWire sink";
  }
  ASSERT_EQ(0, [&] {
    wf::testing::ExitStatus s;
    pulse_.pactl({"load-module", "module-sine", "sink=nullsink", "frequency=440"}, &s);
    return s.code;
  }());
  std::string monitor;
  const json devices = get("/devices");
  for (const json& d : devices["inputs"]) {
    if (d["label"].get<std::string>().find("Monitor of") != std::string::npos)
      monitor = d["deviceId"];
  }
  ASSERT_FALSE(monitor.empty());
  ASSERT_EQ(200, post("/start", json{{"deviceId", monitor}, {"channelCount", 2}}.dump()));

  wf::testing::HttpConnection conn(port_);
  ASSERT_TRUE(conn.connected());
  auto meters = [&] {
    EXPECT_TRUE(conn.send("GET", "/meters"));
    auto r = conn.read();
    return r ? json::parse(r->body) : json();
  };
  waitFor(
      [&] {
        json m = meters();
        return m["meters"].size() == 2 && m["meters"][0]["peak"].get<double>() > -70.0;
      },
      10s, "the first levels of the monitor");
  // A buffer is new when its update time (now less its age) moves on. The
  // replies come back to back, so that a piece shown only until the next
  // one arrives is seen too.
  int buffers = 0;
  int64_t last_update = -1;
  int bad = 0;
  json first_bad;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (buffers < 300 && std::chrono::steady_clock::now() < deadline) {
    const json m = meters();
    ASSERT_EQ(2u, m["meters"].size()) << m;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    const int64_t update = now - m["updatedMsAgo"].get<int64_t>();
    if (std::abs(update - last_update) > 2) {
      ++buffers;
      last_update = update;
    }
    for (const json& c : m["meters"]) {
      if (c["peak"].get<double>() < -7.0 && bad++ == 0) {
        first_bad = m;
      }
    }
  }
  EXPECT_EQ(300, buffers) << "buffers seen within a minute";
  EXPECT_EQ(0, bad) << "first: " << first_bad;
  EXPECT_EQ("", bridge_.drainStderr());
}

TEST_P(MeteringE2E, AnUnloadedSourceIsReportedOnceAndFreezesTheMeters) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  // The null sink's monitor stays: the stream must not move to it.
  ASSERT_TRUE(pulse_.removeSine());

  const json m = await_stopped();
  EXPECT_EQ(pulse_.sineChannels(), m["inputChannels"]);
  EXPECT_NEAR(-6.02, m["meters"][0]["peak"].get<double>(), 0.3) << m;
  EXPECT_EQ(SINE, get("/health")["activeDeviceId"]);
  // The meters stay frozen while "updatedMsAgo" grows.
  json later;
  waitFor(
      [&] {
        later = get("/meters");
        return later["updatedMsAgo"].get<uint64_t>() >= m["updatedMsAgo"].get<uint64_t>() + 500;
      },
      10s, "updatedMsAgo to grow");
  EXPECT_EQ(false, later["running"]);
  EXPECT_EQ(m["meters"], later["meters"]);
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();

  // The catalogue shows what is left.
  json devices = get("/devices");
  ASSERT_EQ(1u, devices["inputs"].size()) << devices;
  EXPECT_EQ("0:Monitor of Null Output", devices["inputs"][0]["deviceId"]);

  // The silent stream stays until /stop, which still works.
  ASSERT_EQ(200, post("/stop"));
  EXPECT_EQ(0, get("/meters")["inputChannels"]);
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();
  expect_only_designed_lines();
}

TEST_P(MeteringE2E, AKilledServerIsReportedOnceWithoutABusyLoopAndListsNothing) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  pulse_.kill();
  await_stopped();
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();

  // A failed stream leaves the bridge idle: over a second of wall time it
  // uses a small part of one core (a busy loop would use all of it).
  const auto cpu0 = cpu_time(bridge_.pid());
  const auto wall0 = std::chrono::steady_clock::now();
  waitFor([&] { return std::chrono::steady_clock::now() - wall0 >= 1s; }, 5s, "a second to pass");
  EXPECT_LT(cpu_time(bridge_.pid()) - cpu0, 500ms);

  // The dead server's devices are gone: a generic failure, not a stale list.
  auto r = wf::testing::httpRequest(port_, "GET", "/devices");
  ASSERT_TRUE(r);
  EXPECT_EQ(500, r->status);
  EXPECT_EQ("", r->body);
  EXPECT_EQ(500, timed("POST", "/start").first);
  EXPECT_EQ(200, timed("GET", "/health").first);
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();
  waitFor([&] { return count_of(stderr_text(), "request failed: ") == 2; }, 5s,
          "two failure lines");
  expect_only_designed_lines();
}

TEST_P(MeteringE2E, AStoppedServerHoldsNoRequestUp) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  pulse_.pause();
  // Generous on a loaded machine: the bridge's own limits are 1 s for a
  // listing and well under that for the state routes.
  for (const char* path : {"/meters", "/health"}) {
    auto [status, took] = timed("GET", path);
    EXPECT_EQ(200, status) << path;
    EXPECT_LT(took, 2s) << path;
  }
  // The stream notices that the server stopped answering.
  await_stopped();
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();
  for (auto [method, path] : {std::pair("GET", "/devices"), std::pair("POST", "/start")}) {
    auto [status, took] = timed(method, path);
    EXPECT_EQ(500, status) << path;
    EXPECT_LT(took, 2s) << path;
  }
  EXPECT_LT(timed("GET", "/meters").second, 2s);

  // Once the server goes on, the next listing uses it again.
  pulse_.resume();
  waitFor([&] { return timed("GET", "/devices").first == 200; }, 10s, "/devices to answer 200");
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();
  expect_only_designed_lines();
}

TEST_P(MeteringE2E, AServerStartedAgainAtTheSameSocketIsUsedAgain) {
  ASSERT_EQ(200, post("/start", json{{"deviceId", SINE}}.dump()));
  expect_sine_levels(await_sine_levels());

  pulse_.kill();
  await_stopped();
  ASSERT_TRUE(pulse_.restart());

  // No restart of the bridge: the next requests reach the new daemon.
  const std::string id = sine_id(get("/devices"));
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(200, post("/start", json{{"deviceId", id}}.dump()));
  expect_sine_levels(await_sine_levels());
  EXPECT_EQ(1u, count_of(stderr_text(), STREAM_ERROR)) << stderr_text();
  expect_only_designed_lines();
}

INSTANTIATE_TEST_SUITE_P(Servers, MeteringE2E,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& info) { return wf::testing::nameOf(info.param); });

}  // namespace
