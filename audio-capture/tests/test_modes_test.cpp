// The synthetic signal modes, run as the front end runs them.
#include <fcntl.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "audio-capture/tests/e2e_support.h"
#include "testing/capture_stream.h"

namespace wf::capture::e2e {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::readPacket;

float expectedSample(double amplitude, uint32_t channel, uint64_t frame) {
  double f = 220.0 * (channel + 1);
  return static_cast<float>(amplitude *
                            std::sin(6.283185307179586 * f * static_cast<double>(frame) / 48000));
}

class TestModes : public ::testing::Test {
 protected:
  testing::TempDir dir;

  Child start(std::vector<std::string> args) {
    testing::SpawnOptions options;
    options.env = noServerEnv(dir);
    options.pipeStdin = false;
    args.insert(args.begin(), testing::binPath("audio-capture"));
    return Child::spawn(args, options);
  }
};

TEST_F(TestModes, TestSignalWritesEightExactPackets) {
  Child child = start({"--test-signal"});
  auto header = child.readLine(10s);
  ASSERT_TRUE(header);
  EXPECT_EQ(nlohmann::json({{"channels", 4}, {"sampleRate", 48000}, {"mode", "synthetic"}}),
            nlohmann::json::parse(*header));
  float peak3 = 0;
  for (uint64_t i = 0; i < 8; ++i) {
    auto p = readPacket(child, 4, 10s);
    ASSERT_TRUE(p) << i;
    EXPECT_EQ(1024u, p->frames);
    EXPECT_EQ(0u, p->dropped);
    EXPECT_EQ(i, p->sequence);
    EXPECT_EQ(i * 1024, p->time);
    ASSERT_EQ(4096u, p->samples.size());
    for (uint32_t j = 0; j < 1024; ++j) {
      for (uint32_t k = 0; k < 4; ++k) {
        ASSERT_EQ(expectedSample(0.125 * (k + 1), k, i * 1024 + j), p->samples[j * 4 + k])
            << "packet " << i << " frame " << j << " channel " << k;
      }
      peak3 = std::max(peak3, std::abs(p->samples[j * 4 + 3]));
    }
    if (i == 0) {
      for (uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(0.0f, p->samples[k]);
      }
      EXPECT_EQ(static_cast<float>(0.125 * std::sin(2 * M_PI * 220 / 48000)), p->samples[4]);
    }
  }
  EXPECT_NEAR(0.5, peak3, 0.001);
  EXPECT_FALSE(child.readBytes(1, 5s)) << "nothing after the eighth packet";
  auto status = child.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());
}

TEST_F(TestModes, TestStreamIsPacedAndStopsOnSigterm) {
  Child child = start({"--test-stream"});
  // A roomy pipe lets each packet go out in one short write, so the signal
  // lands between packets as it does for a reader that keeps up.
  fcntl(child.stdoutFd(), F_SETPIPE_SZ, 1 << 20);
  auto header = child.readLine(10s);
  ASSERT_TRUE(header);
  EXPECT_EQ(nlohmann::json({{"channels", 48}, {"sampleRate", 48000}, {"mode", "synthetic"}}),
            nlohmann::json::parse(*header));
  std::chrono::steady_clock::time_point first;
  for (uint64_t i = 0; i < 51; ++i) {
    auto p = readPacket(child, 48, 10s);
    ASSERT_TRUE(p) << i;
    if (i == 1) {
      first = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(480u, p->frames);
    EXPECT_EQ(0u, p->dropped);
    EXPECT_EQ(i, p->sequence);
    EXPECT_EQ(i * 480, p->time);
    ASSERT_EQ(23040u, p->samples.size());
    for (uint32_t j : {0u, 1u, 479u}) {
      for (uint32_t k : {0u, 47u}) {
        ASSERT_EQ(expectedSample(0.1, k, i * 480 + j), p->samples[j * 48 + k]);
      }
    }
  }
  // Fifty pauses of 10 ms lie between packet 1 and packet 51.
  EXPECT_GE(std::chrono::steady_clock::now() - first, 450ms);
  child.signal(SIGTERM);
  auto status = child.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());
  // The stream ends on a packet boundary.
  while (readPacket(child, 48, 2s)) {
  }
  EXPECT_FALSE(child.readBytes(1, 100ms));
}

TEST_F(TestModes, ClosedPipeEndsEitherModeWithStatusOne) {
  testing::SpawnOptions options;
  options.env = noServerEnv(dir);
  for (const char* mode : {"--test-signal", "--test-stream"}) {
    std::string err = dir.file("err");
    auto status = runIntoClosedPipe(mode, 1000, options, err);
    EXPECT_TRUE(status.exited) << mode;
    EXPECT_EQ(1, status.code) << mode;
    EXPECT_EQ("", testing::readFile(err)) << mode;
  }
}

TEST_F(TestModes, UsageFailuresWriteOnlyTheFixedLine) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--test-signal", "x"},
        std::vector<std::string>{"--test-stream", "--list"}, std::vector<std::string>{},
        std::vector<std::string>{"--list", "x"}, std::vector<std::string>{"-list"},
        std::vector<std::string>{"--capture"}}) {
    Child child = start(args);
    auto status = child.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(1, status->code);
    EXPECT_FALSE(child.readBytes(1, 1s)) << "nothing on standard output";
    EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd());
  }
}

TEST_F(TestModes, ListWithoutAServerIsEmpty) {
  Child child = start({"--list"});
  auto line = child.readLine(20s);
  ASSERT_TRUE(line);
  EXPECT_EQ("{\"inputs\":[]}", *line);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(0, status->code);
}

}  // namespace
}  // namespace wf::capture::e2e
