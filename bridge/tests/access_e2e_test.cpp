// The built bridge with its access settings: exact replies with both off,
// refusals and the front end's own calls with both on, and the settings that
// stop it before it binds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "bridge/tests/encoder_harness.h"
#include "testing/wait_for.h"

namespace wf::encoder_test {
namespace {

const char* const TOKEN = "e2e-Token_0123456789abcdef";
const char* const APP = "http://127.0.0.1:5173";

const char* const FRESH_HEALTH =
    R"({"dynamicOutputs":true,"outputProfiles":true,"inputContainers":["webm","mp4"],"ok":true,)"
    R"("encoderVersion":"0.3.1","encoderReady":true,"encoderError":null,"running":false,)"
    R"("sampleRate":48000,"inputChannels":0,"activeDeviceId":null})";

// The reply head of a fresh /health as the bridge has always sent it.
const char* const HEALTH_HEAD =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: application/json\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Headers: content-type, authorization, x-wrenfield-destination\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Private-Network: true\r\n"
    "Content-Length: 228\r\n"
    "\r\n";

// Answers the readiness probe; as an encoder, writes its arguments and its
// whole environment into its log, then reads the feed to its end.
const char* const TELLTALE_ENCODER = R"(#!/bin/sh
[ "$1" = "-version" ] && { echo "stand-in version"; exit 0; }
echo "args: $*" >&2
env >&2
echo "environment written" >&2
cat > /dev/null
)";

using Headers = std::vector<std::pair<std::string, std::string>>;

class AccessE2E : public ::testing::Test {
 protected:
  std::unique_ptr<EncoderBridge> start(Env env) {
    env.emplace_back("FFMPEG_PATH", dir_.write("ffmpeg-standin", TELLTALE_ENCODER, 0755));
    return EncoderBridge::start(dir_.path(), env);
  }
  testing::HttpResponse call(EncoderBridge& b, const std::string& method, const std::string& path,
                             const Headers& headers = {}, const std::string& body = {}) {
    auto r = testing::httpRequest(b.port, method, path, body, headers);
    EXPECT_TRUE(r) << method << " " << path;
    return r ? *r : testing::HttpResponse{};
  }
  static Headers bearer() { return {{"Authorization", std::string("Bearer ") + TOKEN}}; }

  testing::TempDir dir_;
};

TEST_F(AccessE2E, BothOffOrEmptyAnswerTheSameBytesAsEver) {
  for (const Env& env :
       {Env{}, Env{{"WRENFIELD_BRIDGE_TOKEN", ""}, {"WRENFIELD_BRIDGE_ORIGINS", ""}}}) {
    SCOPED_TRACE(env.empty() ? "unset" : "empty");
    auto bridge = start(env);
    ASSERT_TRUE(bridge);
    for (const Headers& headers : {Headers{}, Headers{{"Origin", "http://evil.example"}}}) {
      auto r = call(*bridge, "GET", "/health", headers);
      EXPECT_EQ(HEALTH_HEAD, r.rawHead);
      EXPECT_EQ(FRESH_HEALTH, r.body);
    }
    auto stop = call(*bridge, "POST", "/encoder/stop", {{"Origin", "http://evil.example"}});
    EXPECT_EQ(200, stop.status);
    EXPECT_EQ("*", stop.header("Access-Control-Allow-Origin"));
    EXPECT_EQ(std::nullopt, stop.header("Vary"));
  }
}

TEST_F(AccessE2E, BothOnRefuseStrangersAndServeTheFrontEnd) {
  auto bridge = start({{"WRENFIELD_BRIDGE_TOKEN", TOKEN},
                       {"WRENFIELD_BRIDGE_ORIGINS", std::string("app://wrenfield,") + APP}});
  ASSERT_TRUE(bridge);

  auto anonymous = call(*bridge, "GET", "/health");
  EXPECT_EQ(401, anonymous.status);
  EXPECT_EQ(R"({"error":"Unauthorized"})", anonymous.body);
  EXPECT_EQ("*", anonymous.header("Access-Control-Allow-Origin"));
  EXPECT_EQ(std::nullopt, anonymous.header("Vary"));

  auto stranger =
      call(*bridge, "POST", "/encoder/stop", {{"Origin", "http://127.0.0.1:5174"}, bearer()[0]});
  EXPECT_EQ(403, stranger.status);
  EXPECT_EQ(R"({"error":"Origin not allowed"})", stranger.body);
  // Naming no origin leaves the page that asked nothing to read.
  EXPECT_EQ(std::nullopt, stranger.header("Access-Control-Allow-Origin"));
  EXPECT_EQ("Origin", stranger.header("Vary"));

  auto preflight = call(*bridge, "OPTIONS", "/encoder/stop",
                        {{"Origin", APP},
                         {"Access-Control-Request-Method", "POST"},
                         {"Access-Control-Request-Headers", "authorization"}});
  EXPECT_EQ(204, preflight.status);
  EXPECT_EQ(
      "HTTP/1.1 204 No Content\r\n"
      "Content-Type: application/json\r\n"
      "Access-Control-Allow-Origin: http://127.0.0.1:5173\r\n"
      "Access-Control-Allow-Headers: content-type, authorization, x-wrenfield-destination\r\n"
      "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
      "Access-Control-Allow-Private-Network: true\r\n"
      "Vary: Origin\r\n"
      "\r\n",
      preflight.rawHead);

  auto front_end = call(*bridge, "GET", "/health", {{"Origin", APP}, bearer()[0]});
  EXPECT_EQ(200, front_end.status);
  EXPECT_EQ(FRESH_HEALTH, front_end.body);
  EXPECT_EQ(APP, front_end.header("Access-Control-Allow-Origin"));
  EXPECT_EQ("Origin", front_end.header("Vary"));

  // A local program sends no origin; the token alone lets it in.
  auto program =
      call(*bridge, "GET", "/health", {{"AUTHORIZATION", std::string("BEARER ") + TOKEN}});
  EXPECT_EQ(200, program.status);
  EXPECT_EQ("*", program.header("Access-Control-Allow-Origin"));
  EXPECT_EQ("", bridge->child.drainStderr());
}

TEST_F(AccessE2E, TheTokenReachesNoReplyNoEncoderAndNoStandardError) {
  auto bridge = start({{"WRENFIELD_BRIDGE_TOKEN", TOKEN}});
  ASSERT_TRUE(bridge);
  const auto auth = bearer();
  auto started =
      call(*bridge, "POST", "/encoder/start", auth,
           R"({"outputs":[{"id":"main","name":"Main","rtmpUrl":"rtmp://127.0.0.1/live/k"}]})");
  ASSERT_EQ(200, started.status) << started.body;

  std::string log;
  ASSERT_TRUE(testing::waitFor(
      [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
          if (entry.path().filename().string().rfind("wrenfield-encoder-", 0) == 0) {
            log = testing::readFile(entry.path().string());
          }
        }
        return log.find("environment written") != std::string::npos;
      },
      30s, "the stand-in encoder to write its environment"));
  EXPECT_NE(std::string::npos, log.find("args: "));
  EXPECT_EQ(std::string::npos, log.find(TOKEN));
  EXPECT_EQ(std::string::npos, log.find("WRENFIELD_BRIDGE_TOKEN"));

  // Refusals and failures along the way quote nothing of it either.
  call(*bridge, "POST", "/start", auth, "not json");
  call(*bridge, "GET", "/health", {{"Authorization", std::string("Bearer ") + TOKEN + "x"}});
  auto status = call(*bridge, "GET", "/encoder/status", auth);
  EXPECT_EQ(200, status.status);
  EXPECT_EQ(std::string::npos, status.body.find(TOKEN));
  auto stop = call(*bridge, "POST", "/encoder/stop", auth);
  EXPECT_EQ(200, stop.status);
  const std::string err = bridge->child.drainStderr();
  EXPECT_NE(std::string::npos, err.find("request failed: "));
  EXPECT_EQ(std::string::npos, err.find(TOKEN));
}

TEST_F(AccessE2E, UnusableSettingsStopTheBridgeBeforeItBinds) {
  // Holding the port shows the settings are judged first: the error is
  // theirs, not the busy address.
  wf::testing::HeldPort held;
  const std::string port = std::to_string(held.port());

  const struct {
    Env env;
    std::string error;
  } cases[] = {
      {{{"WRENFIELD_BRIDGE_TOKEN", "too-short-token"}},
       "Error: WRENFIELD_BRIDGE_TOKEN is shorter than 16 bytes\n"},
      {{{"WRENFIELD_BRIDGE_TOKEN", "a token with spaces in it"}},
       "Error: WRENFIELD_BRIDGE_TOKEN may hold visible ASCII characters only\n"},
      {{{"WRENFIELD_BRIDGE_ORIGINS", "http://localhost:5173/"}},
       "Error: WRENFIELD_BRIDGE_ORIGINS: \"http://localhost:5173/\" is not of the form "
       "scheme://host[:port] in lower case\n"},
      {{{"WRENFIELD_BRIDGE_ORIGINS", "localhost:5173"}, {"WRENFIELD_BRIDGE_TOKEN", TOKEN}},
       "Error: WRENFIELD_BRIDGE_ORIGINS: \"localhost:5173\" is not of the form "
       "scheme://host[:port] in lower case\n"},
      {{{"WRENFIELD_BRIDGE_ORIGINS", "app://wrenfield,"}},
       "Error: WRENFIELD_BRIDGE_ORIGINS has an empty entry\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    testing::SpawnOptions options;
    options.env = c.env;
    options.pipeStdin = false;
    auto child = testing::Child::spawn({testing::binPath("audio-bridge"), "--port", port}, options);
    auto status = child.wait(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(1, status->code);
    EXPECT_EQ(std::nullopt, child.readLine(1s));
    EXPECT_EQ(c.error, child.readStderrToEnd());
  }
}

}  // namespace
}  // namespace wf::encoder_test
