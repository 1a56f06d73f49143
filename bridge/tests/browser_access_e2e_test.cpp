// Web pages in a real browser against the built bridge: with the token and
// the origin list set, the front end's own page works, while a page of
// another loopback origin can neither read the bridge nor stop its encoder.

#include <filesystem>

#include "bridge/tests/encoder_harness.h"
#include "testing/browser.h"
#include "testing/page_server.h"
#include "testing/wait_for.h"

namespace wf::encoder_test {
namespace {

using nlohmann::json;

const char* const TOKEN = "browser-Token_0123456789abcdef";

// Runs until its input closes, as an encoder does.
const char* const STAND_IN = R"(#!/bin/sh
[ "$1" = "-version" ] && { echo "stand-in version"; exit 0; }
echo "stand-in encoding" >&2
exec cat > /dev/null
)";

const char* const PAGE =
    "<!doctype html><html><head><title>page</title></head><body></body></html>";

// What a page can learn from calling the bridge: each call's status and body,
// or the kind of error the browser gave the page instead of a reply.
std::string calls_script(const std::string& bridge, const std::string& authorization) {
  return R"(
const done = arguments[arguments.length - 1];
const bridge = ')" +
         bridge + R"(';
const headers = )" +
         (authorization.empty() ? std::string("{}")
                                : json{{"Authorization", authorization}}.dump()) +
         R"(;
async function call(path, init) {
  try {
    const r = await fetch(bridge + path, init);
    return {status: r.status, type: r.type, body: await r.text()};
  } catch (e) {
    return {refused: e.name};
  }
}
(async () => {
  done({
    health: await call('/health', {headers}),
    stop: await call('/encoder/stop', {method: 'POST', headers}),
    // A simple request: sent without a preflight, its reply unreadable.
    stopNoCors: await call('/encoder/stop', {method: 'POST', mode: 'no-cors'}),
  });
})();
)";
}

using Headers = std::vector<std::pair<std::string, std::string>>;

class BrowserAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = dir_.file("profile");
    logs_ = dir_.file("logs");
    std::filesystem::create_directories(profile_);
    std::filesystem::create_directories(logs_);
    encoder_ = dir_.write("ffmpeg-standin", STAND_IN, 0755);
  }

  std::unique_ptr<EncoderBridge> start_bridge(Env env) {
    env.emplace_back("FFMPEG_PATH", encoder_);
    return EncoderBridge::start(logs_, env);
  }

  // Starts one destination as a local program would (no origin) and waits
  // until its stand-in is running.
  void start_encoder(EncoderBridge& bridge, const Headers& auth) {
    auto r = bridge.post(
        "/encoder/start",
        R"({"outputs":[{"id":"main","name":"Main","rtmpUrl":"rtmp://127.0.0.1/live/k"}]})", auth);
    ASSERT_EQ(200, r.status) << r.body;
    ASSERT_EQ(1u, running(bridge, auth));
  }

  size_t running(EncoderBridge& bridge, const Headers& auth) {
    auto status = bridge.request("GET", "/encoder/status", {}, auth).json();
    size_t n = 0;
    for (const auto& o : status["outputs"]) {
      n += o["running"].get<bool>() ? 1 : 0;
    }
    return n;
  }

  testing::TempDir dir_;
  std::string profile_;
  std::string logs_;
  std::string encoder_;
};

TEST_F(BrowserAccess, OnlyTheFrontEndsPageReachesAProtectedBridge) {
  testing::PageServer front_end(PAGE);
  testing::PageServer stranger(PAGE);
  auto bridge = start_bridge(
      {{"WRENFIELD_BRIDGE_TOKEN", TOKEN}, {"WRENFIELD_BRIDGE_ORIGINS", front_end.origin()}});
  ASSERT_TRUE(bridge);
  const std::string base = "http://127.0.0.1:" + std::to_string(bridge->port);
  const Headers auth = {{"Authorization", std::string("Bearer ") + TOKEN}};
  start_encoder(*bridge, auth);

  auto browser = testing::Browser::start(profile_);
  ASSERT_TRUE(browser);

  // Another origin, with and without a guess at the token.
  ASSERT_TRUE(browser->open(stranger.origin() + "/"));
  for (const std::string& guess : {std::string(), std::string("Bearer guess-0123456789abcdef")}) {
    SCOPED_TRACE(guess.empty() ? "no token" : "guessed token");
    auto seen = browser->runAsync(calls_script(base, guess));
    ASSERT_TRUE(seen);
    EXPECT_EQ(json({{"refused", "TypeError"}}), (*seen)["health"]) << seen->dump();
    EXPECT_EQ(json({{"refused", "TypeError"}}), (*seen)["stop"]) << seen->dump();
    EXPECT_EQ("opaque", (*seen)["stopNoCors"]["type"]) << seen->dump();
    EXPECT_EQ(1u, running(*bridge, auth)) << "the stranger's POST /encoder/stop acted";
  }

  // The front end's page, with the token.
  ASSERT_TRUE(browser->open(front_end.origin() + "/"));
  auto anonymous = browser->runAsync(calls_script(base, ""));
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(401, (*anonymous)["health"]["status"]) << anonymous->dump();
  EXPECT_EQ(R"({"error":"Unauthorized"})", (*anonymous)["health"]["body"]);
  EXPECT_EQ(1u, running(*bridge, auth));

  auto own = browser->runAsync(calls_script(base, auth[0].second));
  ASSERT_TRUE(own);
  EXPECT_EQ(200, (*own)["health"]["status"]) << own->dump();
  auto health = json::parse((*own)["health"]["body"].get<std::string>(), nullptr, false);
  EXPECT_EQ(true, health["ok"]);
  EXPECT_EQ(true, health["encoderReady"]);
  EXPECT_EQ(200, (*own)["stop"]["status"]);
  EXPECT_EQ(R"({"ok":true})", (*own)["stop"]["body"]);
  EXPECT_EQ(0u, running(*bridge, auth));
}

// The same stranger's page against a bridge with both settings off: the
// exposure the settings close, and proof that the page does reach the bridge.
TEST_F(BrowserAccess, AnUnprotectedBridgeObeysAnyPage) {
  testing::PageServer stranger(PAGE);
  auto bridge = start_bridge({});
  ASSERT_TRUE(bridge);
  start_encoder(*bridge, {});

  auto browser = testing::Browser::start(profile_);
  ASSERT_TRUE(browser);
  ASSERT_TRUE(browser->open(stranger.origin() + "/"));
  auto seen =
      browser->runAsync(calls_script("http://127.0.0.1:" + std::to_string(bridge->port), ""));
  ASSERT_TRUE(seen);
  EXPECT_EQ(200, (*seen)["health"]["status"]) << seen->dump();
  EXPECT_EQ(200, (*seen)["stop"]["status"]);
  EXPECT_EQ(0u, running(*bridge, {}));
}

}  // namespace
}  // namespace wf::encoder_test
