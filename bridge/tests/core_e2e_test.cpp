#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using wf::testing::Child;
using wf::testing::HttpConnection;
using wf::testing::httpRequest;
using wf::testing::SpawnOptions;
using wf::testing::TempDir;

const char* const FRESH_HEALTH =
    R"({"dynamicOutputs":true,"outputProfiles":true,"inputContainers":["webm","mp4"],"ok":true,)"
    R"("encoderVersion":"0.3.1","encoderReady":true,"encoderError":null,"running":false,)"
    R"("sampleRate":48000,"inputChannels":0,"activeDeviceId":null})";

// A stand-in encoder program that appends a line to `runs` on every start.
std::string counting_ffmpeg(const TempDir& dir, int exit_code = 0) {
  return dir.write("ffmpeg-standin",
                   "#!/bin/sh\necho \"$@\" >> " + dir.file("runs") + "\nexit " +
                       std::to_string(exit_code) + "\n",
                   0755);
}

class Bridge {
 public:
  Bridge(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env) {
    std::vector<std::string> argv = {wf::testing::binPath("audio-bridge")};
    argv.insert(argv.end(), args.begin(), args.end());
    SpawnOptions options;
    options.env = std::move(env);
    child = Child::spawn(argv, options);
  }
  // Starts on a free port and waits for the start-up line.
  static std::unique_ptr<Bridge> start(std::vector<std::pair<std::string, std::string>> env) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      int port = wf::testing::freePort();
      auto b =
          std::make_unique<Bridge>(std::vector<std::string>{"--port", std::to_string(port)}, env);
      auto line = b->child.readLine(30s);
      if (line) {
        b->port = port;
        b->startup = *line;
        return b;
      }
    }
    return nullptr;
  }
  Child child;
  int port = 0;
  std::string startup;
};

TEST(BridgeEntry, PrintsTheStartupLineAfterBinding) {
  TempDir dir;
  auto bridge = Bridge::start({{"FFMPEG_PATH", counting_ffmpeg(dir)}});
  ASSERT_TRUE(bridge);
  EXPECT_EQ("Wrenfield Audio Bridge listening on http://127.0.0.1:" + std::to_string(bridge->port),
            bridge->startup);
  // Ready means ready: the very next connection is served.
  auto r = httpRequest(bridge->port, "OPTIONS", "/anything");
  ASSERT_TRUE(r);
  EXPECT_EQ(204, r->status);
}

TEST(BridgeEntry, PortZeroNamesThePortActuallyBound) {
  Bridge bridge({"--port", "0"}, {});
  auto line = bridge.child.readLine(30s);
  ASSERT_TRUE(line);
  const std::string prefix = "Wrenfield Audio Bridge listening on http://127.0.0.1:";
  ASSERT_EQ(prefix, line->substr(0, prefix.size()));
  const std::string digits = line->substr(prefix.size());
  ASSERT_FALSE(digits.empty());
  ASSERT_EQ(std::string::npos, digits.find_first_not_of("0123456789")) << *line;
  const int port = std::stoi(digits);
  ASSERT_GT(port, 0);
  ASSERT_LE(port, 65535);
  // The named port is the listening one: a request there is served.
  auto r = httpRequest(port, "OPTIONS", "/anything");
  ASSERT_TRUE(r);
  EXPECT_EQ(204, r->status);
}

TEST(BridgeEntry, PortInUseFailsWithErrorLine) {
  auto held = std::make_unique<wf::testing::HeldPort>();
  Bridge bridge({"--port", std::to_string(held->port())}, {});
  auto status = bridge.child.wait(30s);
  held.reset();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(1, status->code);
  EXPECT_EQ(std::nullopt, bridge.child.readLine(1s));
  EXPECT_EQ("Error: Address already in use\n", bridge.child.readStderrToEnd());
}

TEST(Health, FreshBridgeAnswersExactBodyAndProbesOnce) {
  TempDir dir;
  std::string standin = counting_ffmpeg(dir);
  auto bridge = Bridge::start({{"FFMPEG_PATH", standin}});
  ASSERT_TRUE(bridge);
  EXPECT_EQ("", wf::testing::readFile(dir.file("runs")));  // not probed before /health
  for (int i = 0; i < 3; ++i) {
    auto r = httpRequest(bridge->port, "GET", i == 1 ? "/health?probe=1" : "/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(FRESH_HEALTH, r->body);
    EXPECT_EQ("application/json", r->header("content-type"));
    EXPECT_EQ("*", r->header("access-control-allow-origin"));
    if (i == 0) {
      // Breaking the program afterwards changes nothing: readiness is fixed.
      counting_ffmpeg(dir, 1);
    }
  }
  EXPECT_EQ("-version\n", wf::testing::readFile(dir.file("runs")));
  EXPECT_EQ("", bridge->child.drainStderr());
}

TEST(Health, MissingEncoderProgramIsReportedNotFailed) {
  TempDir dir;
  auto bridge = Bridge::start({{"FFMPEG_PATH", dir.file("no-such-ffmpeg")}});
  ASSERT_TRUE(bridge);
  auto r = httpRequest(bridge->port, "GET", "/health");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  EXPECT_NE(std::string::npos, r->body.find(R"("ok":true)"));
  EXPECT_NE(std::string::npos,
            r->body.find(R"("encoderReady":false,"encoderError":"The bundled media encoder could )"
                         R"(not start. Repair the Wrenfield Desktop installation and retry.")"));
}

class HttpFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    bridge_ = Bridge::start({{"FFMPEG_PATH", counting_ffmpeg(dir_)}});
    ASSERT_TRUE(bridge_);
  }
  void TearDown() override {
    // No frame case is a failed request: nothing reaches standard error.
    EXPECT_EQ("", bridge_->child.drainStderr());
  }
  // The connection still frames requests correctly after the last one.
  static void expectUsable(HttpConnection& c) {
    ASSERT_TRUE(c.send("GET", "/health"));
    auto next = c.read();
    ASSERT_TRUE(next);
    EXPECT_EQ(200, next->status);
  }
  TempDir dir_;
  std::unique_ptr<Bridge> bridge_;
};

TEST_F(HttpFrame, HeadIs404WithoutBody) {
  HttpConnection c(bridge_->port);
  ASSERT_TRUE(c.send("HEAD", "/health"));
  auto r = c.read(true);
  ASSERT_TRUE(r);
  EXPECT_EQ(404, r->status);
  // No stray body bytes follow.
  expectUsable(c);
}

TEST_F(HttpFrame, PipelinedRequestsAreAnsweredInOrder) {
  HttpConnection c(bridge_->port);
  std::string two =
      "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n"
      "OPTIONS /x HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(c.sendRaw(two));
  auto a = c.read(), b = c.read(), d = c.read();
  ASSERT_TRUE(a && b && d);
  EXPECT_EQ(404, a->status);
  EXPECT_EQ(204, b->status);
  EXPECT_EQ(200, d->status);
}

TEST_F(HttpFrame, ExpectContinueIsAnsweredBeforeTheBody) {
  HttpConnection c(bridge_->port);
  ASSERT_TRUE(c.sendRaw(
      "POST /nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
  auto interim = c.read(false, 10s);
  ASSERT_TRUE(interim);
  EXPECT_EQ(100, interim->status);
  ASSERT_TRUE(c.sendRaw("hello"));
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(404, r->status);
  EXPECT_EQ(R"({"error":"Not found"})", r->body);
}

TEST_F(HttpFrame, ChunkedBodyIsReadAndTheConnectionStaysUsable) {
  HttpConnection c(bridge_->port);
  ASSERT_TRUE(
      c.sendRaw("POST /nowhere HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(404, r->status);
  expectUsable(c);
}

TEST_F(HttpFrame, OversizedHeaderBlockIs431AndClosed) {
  HttpConnection c(bridge_->port);
  std::string big(70 * 1024, 'a');
  ASSERT_TRUE(c.sendRaw("GET /health HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n"));
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(431, r->status);
  EXPECT_TRUE(c.closedByPeer(10s));
}

TEST_F(HttpFrame, OversizedBodyIs413AndClosed) {
  HttpConnection c(bridge_->port);
  ASSERT_TRUE(c.sendRaw("POST /encoder/chunk HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                        std::to_string(300ull * 1024 * 1024) + "\r\n\r\n"));
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(413, r->status);
  EXPECT_TRUE(c.closedByPeer(10s));
}

TEST_F(HttpFrame, ClientGoneBeforeReplyIsNotAFailure) {
  for (int i = 0; i < 5; ++i) {
    HttpConnection c(bridge_->port);
    ASSERT_TRUE(c.send("GET", "/health"));
    c.close();
  }
  auto r = httpRequest(bridge_->port, "GET", "/health");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
}

TEST_F(HttpFrame, ManyConcurrentConnectionsAreServed) {
  std::vector<std::unique_ptr<HttpConnection>> open;
  for (int i = 0; i < 300; ++i) {
    open.push_back(std::make_unique<HttpConnection>(bridge_->port));
    ASSERT_TRUE(open.back()->connected());
  }
  for (auto& c : open)
    ASSERT_TRUE(c->send("GET", "/health"));
  for (auto& c : open) {
    auto r = c->read();
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
  }
}

}  // namespace
