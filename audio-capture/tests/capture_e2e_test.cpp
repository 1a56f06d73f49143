// Capture of a real sound server's source: a private PulseAudio daemon with
// a 440 Hz sine source of amplitude 0.5 at 48000 Hz.
#include <signal.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "audio-capture/tests/e2e_support.h"
#include "testing/capture_stream.h"
#include "testing/pulse_server.h"
#include "testing/wait_for.h"

namespace wf::capture::e2e {
namespace {

using namespace std::chrono_literals;
using testing::CapturePacket;
using testing::Child;
using testing::readPacket;
using Clock = std::chrono::steady_clock;

// Whether a thread of process `pid` is inside write(1, ...): the kernel
// shows a blocked thread's system call and its arguments in
// /proc/PID/task/TID/syscall.
bool blockedWritingStdout(int pid) {
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "syscall");
    std::string number, fd;
    if (in >> number >> fd && number == std::to_string(SYS_write) && fd == "0x1") {
      return true;
    }
  }
  return false;
}

class RealCapture : public ::testing::Test {
 protected:
  testing::PulseServer server;
  testing::TempDir dir;

  void SetUp() override { ASSERT_TRUE(server.ready()) << "the test sound server did not start"; }

  testing::SpawnOptions options() const {
    testing::SpawnOptions o;
    o.env = server.clientEnv();
    o.pipeStdin = false;
    return o;
  }

  Child start(std::vector<std::string> args) {
    args.insert(args.begin(), testing::binPath("audio-capture"));
    return Child::spawn(args, options());
  }

  // Starts a capture of the sine source and checks its header line.
  Child startSine() {
    Child child = start({"--capture", "sine"});
    auto header = child.readLine(20s);
    EXPECT_TRUE(header);
    if (header) {
      EXPECT_EQ(nlohmann::json({{"channels", 1}, {"sampleRate", 48000}, {"mode", "coreaudio"}}),
                nlohmann::json::parse(*header));
    }
    return child;
  }
};

TEST_F(RealCapture, ListShowsTheSourcesWithChannelsAndRate) {
  Child child = start({"--list"});
  auto line = child.readLine(20s);
  ASSERT_TRUE(line);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(0, status->code);
  nlohmann::json inputs = nlohmann::json::parse(*line).at("inputs");
  std::map<std::string, nlohmann::json> byUid;
  for (const auto& input : inputs) {
    EXPECT_FALSE(input.contains("object"));
    byUid[input.at("uid")] = input;
  }
  ASSERT_TRUE(byUid.count("sine")) << *line;
  EXPECT_EQ(1, byUid["sine"]["channels"]);
  EXPECT_EQ(48000.0, byUid["sine"]["sampleRate"]);
  EXPECT_FALSE(byUid["sine"]["name"].get<std::string>().empty());
  EXPECT_EQ(nlohmann::json::array({{{"min", 48000.0}, {"max", 48000.0}}}),
            byUid["sine"]["availableSampleRates"]);
  ASSERT_TRUE(byUid.count("nullsink.monitor")) << *line;
  EXPECT_EQ(2, byUid["nullsink.monitor"]["channels"]);
}

TEST_F(RealCapture, StreamsTheSineInRealTimeUntilSigterm) {
  Child child = startSine();
  std::vector<CapturePacket> packets;
  uint64_t framesAfterFirstSecond = 0;
  Clock::time_point begin = Clock::now(), measureFrom{};
  while (Clock::now() - begin < 5s) {
    auto p = readPacket(child, 1, 10s);
    ASSERT_TRUE(p);
    if (Clock::now() - begin >= 1s) {
      if (measureFrom == Clock::time_point{}) {
        measureFrom = Clock::now();
      } else {
        framesAfterFirstSecond += p->frames;
      }
    }
    packets.push_back(std::move(*p));
  }
  double seconds = std::chrono::duration<double>(Clock::now() - measureFrom).count();
  child.signal(SIGTERM);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());

  double rate = static_cast<double>(framesAfterFirstSecond) / seconds;
  EXPECT_NEAR(48000, rate, 48000 * 0.15) << "frames per second of wall-clock time";
  float peak = 0;
  double worst = 0;
  const double twoCos = 2 * std::cos(2 * M_PI * 440 / 48000);
  for (size_t i = 0; i < packets.size(); ++i) {
    const CapturePacket& p = packets[i];
    ASSERT_EQ(i, p.sequence);
    EXPECT_EQ(0u, p.dropped) << i;
    EXPECT_LE(p.frames, 1024u);
    if (i > 0) {
      EXPECT_GT(p.time, packets[i - 1].time);
    }
    for (size_t n = 0; n < p.samples.size(); ++n) {
      peak = std::max(peak, std::abs(p.samples[n]));
      // A 440 Hz sine obeys s[n+1] + s[n-1] = 2 cos(w) s[n].
      if (n > 0 && n + 1 < p.samples.size()) {
        double residual = p.samples[n + 1] + p.samples[n - 1] - twoCos * p.samples[n];
        worst = std::max(worst, std::abs(residual));
      }
    }
  }
  EXPECT_NEAR(0.5, peak, 0.01);
  EXPECT_LT(worst, 1e-3) << "the samples are a 440 Hz sine";
}

TEST_F(RealCapture, RemovedSourceEndsWithTheFailureLine) {
  Child child = startSine();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(readPacket(child, 1, 10s));
  }
  int module = server.sineModule();
  ASSERT_GE(module, 0);
  testing::ExitStatus unload;
  server.pactl({"unload-module", std::to_string(module)}, &unload);
  ASSERT_EQ(0, unload.code);
  Clock::time_point removed = Clock::now();
  // Keep reading so that only the removal can end the capture.
  while (readPacket(child, 1, 10s)) {
  }
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  RecordProperty(
      "exit_after_removal_ms",
      std::to_string(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removed).count()));
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(1, status->code);
  EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd());
}

TEST_F(RealCapture, StalledReaderSeesTheDroppedFlagAfterwards) {
  Child child = startSine();
  ASSERT_TRUE(readPacket(child, 1, 10s));
  // The pipe and the 32-packet ring hold about a second; stall for longer.
  std::this_thread::sleep_for(3s);
  uint64_t expected = 1;
  bool sawDropped = false;
  for (int i = 0; i < 200 && !sawDropped; ++i) {
    auto p = readPacket(child, 1, 10s);
    ASSERT_TRUE(p);
    EXPECT_EQ(expected++, p->sequence) << "sequence numbers stay consecutive";
    sawDropped = p->dropped == 1;
  }
  EXPECT_TRUE(sawDropped);
  child.signal(SIGTERM);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(0, status->code);
}

TEST_F(RealCapture, SigtermInterruptsAWriteToAStalledReader) {
  Child child = startSine();
  // Nothing reads the pipe, so it fills and the writer blocks in a write.
  ASSERT_TRUE(wf::testing::waitFor([&] { return blockedWritingStdout(child.pid()); }, 20s,
                                   "the writer to block in a write to its full pipe"));
  child.signal(SIGTERM);
  auto status = child.wait(10s);
  ASSERT_TRUE(status) << "the blocked write was not interrupted";
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());
}

TEST_F(RealCapture, ReaderClosingThePipeEndsWithStatusZero) {
  std::string err = dir.file("err");
  auto status = runIntoClosedPipe("--capture sine", 40000, options(), err);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(0, status.code);
  EXPECT_EQ("", testing::readFile(err));
}

TEST_F(RealCapture, UnknownUidFailsWithoutOutput) {
  for (const char* uid : {"Sine", "no-such-source"}) {
    Child child = start({"--capture", uid});
    auto status = child.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(1, status->code);
    EXPECT_FALSE(child.readBytes(1, 1s));
    EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd());
  }
}

}  // namespace
}  // namespace wf::capture::e2e
