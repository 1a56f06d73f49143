#include "audio-capture/entry.h"

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "audio-capture/failure.h"
#include "audio-capture/fake_run.h"
#include "audio-capture/platform/fake_platform.h"
#include "audio-capture/stream/fake_clock.h"
#include "audio-capture/stream/fake_sink.h"
#include "testing/capture_stream.h"

namespace wf::capture {
namespace {

class Entry : public ::testing::Test, protected FakeRun {
 protected:
  int runWith(std::vector<std::string> args) { return run(args, fake.platform, io); }
  bool enumerated() const { return !fake.properties->reads.empty(); }
};

TEST_F(Entry, ListPrintsOneLineWithoutObjectIds) {
  FakeDevice d;
  d.id = 9;
  d.uid = "mic";
  d.name = "Mic";
  fake.properties->devices.push_back(d);
  FakeDevice output;
  output.id = 10;
  output.inputStreams = {};
  fake.properties->devices.push_back(output);
  ASSERT_EQ(0, runWith({"--list"}));
  std::string text = out.str();
  ASSERT_EQ(1, std::count(text.begin(), text.end(), '\n'));
  ASSERT_EQ('\n', text.back());
  EXPECT_EQ(std::string::npos, text.find("object"));
  EXPECT_EQ(std::string::npos, text.find(' ')) << "compact JSON";
  nlohmann::json printed = nlohmann::json::parse(text);
  nlohmann::json expected = {{"inputs",
                              {{{"availableSampleRates", {{{"min", 44100.0}, {"max", 48000.0}}}},
                                {"uid", "mic"},
                                {"name", "Mic"},
                                {"channels", 2},
                                {"sampleRate", 48000.0}}}}};
  EXPECT_EQ(expected, printed);
  EXPECT_EQ("", err.str());
  EXPECT_EQ("", raw.bytes);
}

TEST_F(Entry, ListWithoutDevicesPrintsAnEmptyArray) {
  ASSERT_EQ(0, runWith({"--list"}));
  EXPECT_EQ("{\"inputs\":[]}\n", out.str());
}

TEST_F(Entry, ListIgnoresTheStopFlag) {
  stop = 1;
  ASSERT_EQ(0, runWith({"--list"}));
  EXPECT_EQ("{\"inputs\":[]}\n", out.str());
}

// A sound server that stopped answering is not a machine without inputs:
// the listing, and a capture, end with the failure line.
TEST_F(Entry, AServiceThatStoppedAnsweringFailsListAndCapture) {
  FakeDevice d;
  d.id = 9;
  d.uid = "mic";
  fake.properties->devices.push_back(d);
  fake.properties->stalledAnswer = true;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--list"}, std::vector<std::string>{"--capture", "mic"}}) {
    out.str("");
    err.str("");
    EXPECT_EQ(1, runWith(args)) << args[0];
    EXPECT_EQ("", out.str()) << args[0];
    EXPECT_EQ("", raw.bytes) << args[0];
    EXPECT_EQ(std::string(FAILURE_LINE) + "\n", err.str()) << args[0];
  }
  EXPECT_TRUE(fake.units->calls.empty()) << "no unit was made";
}

TEST_F(Entry, ListKeepsNamesThatAreNotValidText) {
  FakeDevice d;
  d.id = 3;
  d.name = "Mic \xff\xfe";
  fake.properties->devices.push_back(d);
  ASSERT_EQ(0, runWith({"--list"}));
  nlohmann::json printed = nlohmann::json::parse(out.str());
  EXPECT_EQ("Mic \xef\xbf\xbd\xef\xbf\xbd", printed["inputs"][0]["name"]);
}

class UsageFailure : public Entry,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(UsageFailure, WritesOnlyTheFixedLine) {
  EXPECT_EQ(1, runWith(GetParam()));
  EXPECT_EQ("", out.str());
  EXPECT_EQ("", raw.bytes);
  EXPECT_EQ(std::string(FAILURE_LINE) + "\n", err.str());
  EXPECT_TRUE(enumerated()) << "every non-test argument vector enumerates first";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageFailure,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--list", "x"},
                      std::vector<std::string>{"--capture"},
                      std::vector<std::string>{"--capture", "a", "b"},
                      std::vector<std::string>{"--LIST"}, std::vector<std::string>{"-list"},
                      std::vector<std::string>{"--bogus"},
                      std::vector<std::string>{"--test-signal", "x"},
                      std::vector<std::string>{"--test-stream", "--test-stream"},
                      std::vector<std::string>{"--TEST-SIGNAL"}));

TEST_F(Entry, TestSignalTouchesNoDeviceAndWritesEightPackets) {
  ASSERT_EQ(0, runWith({"--test-signal"}));
  EXPECT_FALSE(enumerated());
  EXPECT_TRUE(fake.units->calls.empty());
  testing::CaptureStreamDecoder decoder;
  decoder.feed(out.str());
  decoder.feed(raw.bytes);
  ASSERT_TRUE(decoder.header());
  EXPECT_EQ(nlohmann::json({{"channels", 4}, {"sampleRate", 48000}, {"mode", "synthetic"}}),
            nlohmann::json::parse(*decoder.header()));
  auto packets = decoder.take();
  ASSERT_EQ(8u, packets.size());
  EXPECT_EQ(0u, decoder.pendingBytes());
  EXPECT_EQ(std::chrono::microseconds(0), clock.slept) << "no pause between packets";
}

TEST_F(Entry, TestStreamPausesTenMillisecondsAfterEachPacket) {
  clock.onSleep = [&] {
    if (clock.slept >= std::chrono::milliseconds(30)) {
      stop = 1;
    }
  };
  ASSERT_EQ(0, runWith({"--test-stream"}));
  testing::CaptureStreamDecoder decoder;
  decoder.feed(out.str());
  decoder.feed(raw.bytes);
  auto packets = decoder.take();
  ASSERT_EQ(3u, packets.size());
  EXPECT_EQ(0u, decoder.pendingBytes()) << "a stop between packets ends on a boundary";
  EXPECT_EQ(960u, packets[2].time);
}

TEST_F(Entry, TestModeFailedWriteEndsWithStatusOneAndNoMessage) {
  for (size_t failAt : {0u, 1u, 5u}) {
    RecordingSink failing;
    failing.failAt = failAt;
    Io failingIo{out, failing, err, clock, stop};
    EXPECT_EQ(1, run({"--test-signal"}, fake.platform, failingIo)) << failAt;
  }
  EXPECT_EQ("", err.str());
}

TEST_F(Entry, TestModeStoppedDuringAWriteEndsWithStatusOne) {
  raw.chunk = 100;
  raw.onWrite = [&] { stop = 1; };
  EXPECT_EQ(1, runWith({"--test-stream"}));
  EXPECT_EQ("", err.str());
}

TEST_F(Entry, CaptureOfAnUnknownUidFails) {
  FakeDevice d;
  d.id = 5;
  d.uid = "Mic";
  fake.properties->devices.push_back(d);
  for (const char* uid : {"mic", "Mic ", "nothing"}) {
    std::ostringstream failure;
    Io failIo{out, raw, failure, clock, stop};
    EXPECT_EQ(1, run({"--capture", uid}, fake.platform, failIo));
    EXPECT_EQ(std::string(FAILURE_LINE) + "\n", failure.str());
  }
  EXPECT_EQ("", out.str());
  EXPECT_TRUE(fake.units->calls.empty());
}

TEST(StopSignal, SetsTheFlagWithoutRestartingCalls) {
  installStop(SIGUSR1);
  struct sigaction installed = {};
  sigaction(SIGUSR1, nullptr, &installed);
  EXPECT_EQ(&stop, installed.sa_handler);
  EXPECT_EQ(0, installed.sa_flags & SA_RESTART);
  ASSERT_EQ(0, stopping);
  raise(SIGUSR1);
  EXPECT_EQ(1, stopping);
  stopping = 0;
  signal(SIGUSR1, SIG_DFL);
}

}  // namespace
}  // namespace wf::capture
