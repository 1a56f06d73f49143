// Capture of a real sound server's source, against a private PulseAudio and
// a private PipeWire: a 440 Hz sine source of amplitude 0.5 at 48000 Hz. The
// servers are also made to hang (SIGSTOP), as a deadlocked server does.
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
#include "testing/sound_server.h"
#include "testing/wait_for.h"

namespace wf::capture::e2e {
namespace {

using namespace std::chrono_literals;
using testing::CapturePacket;
using testing::Child;
using testing::ExitStatus;
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

class RealCapture : public ::testing::TestWithParam<testing::SoundServerKind> {
 protected:
  std::unique_ptr<testing::SoundServer> server = testing::startSoundServer(GetParam());
  testing::TempDir dir;

  void SetUp() override { ASSERT_TRUE(server->ready()) << "the test sound server did not start"; }

  testing::SpawnOptions options() const {
    testing::SpawnOptions o;
    o.env = server->clientEnv();
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
      EXPECT_EQ(
          nlohmann::json(
              {{"channels", server->sineChannels()}, {"sampleRate", 48000}, {"mode", "coreaudio"}}),
          nlohmann::json::parse(*header));
    }
    return child;
  }
};

TEST_P(RealCapture, ListShowsTheSourcesWithChannelsAndRate) {
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
  EXPECT_EQ(server->sineChannels(), byUid["sine"]["channels"]);
  EXPECT_EQ(48000.0, byUid["sine"]["sampleRate"]);
  EXPECT_FALSE(byUid["sine"]["name"].get<std::string>().empty());
  EXPECT_EQ(nlohmann::json::array({{{"min", 48000.0}, {"max", 48000.0}}}),
            byUid["sine"]["availableSampleRates"]);
  ASSERT_TRUE(byUid.count("nullsink.monitor")) << *line;
  EXPECT_EQ(2, byUid["nullsink.monitor"]["channels"]);
}

// The capture is paced by the audio clock: frames never come faster than
// real time, beyond what the ring and the pipe hold (a loaded machine can
// only make them later, so the bound cannot flake).
TEST_P(RealCapture, StreamsTheSineInRealTimeUntilSigterm) {
  Child child = startSine();
  const int channels = server->sineChannels();
  std::vector<CapturePacket> packets;
  ASSERT_TRUE(readPacket(child, channels, 20s));
  const Clock::time_point begin = Clock::now();
  uint64_t frames = 0;
  while (frames < 4 * 48000) {
    auto p = readPacket(child, channels, 10s);
    ASSERT_TRUE(p);
    frames += p->frames;
    packets.push_back(std::move(*p));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  child.signal(SIGTERM);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());

  // The ring (32 blocks of 1024 frames), a pipe of 64 KiB and a block of
  // prefill.
  const double slack = 32 * 1024 + 65536.0 / (4 * channels) + 1024;
  EXPECT_GE(seconds * 48000, static_cast<double>(frames) - slack)
      << frames << " frames came in " << seconds << " s";
  float peak = 0;
  double worst = 0;
  const double twoCos = 2 * std::cos(2 * M_PI * 440 / 48000);
  for (size_t i = 0; i < packets.size(); ++i) {
    const CapturePacket& p = packets[i];
    ASSERT_EQ(i + 1, p.sequence);
    EXPECT_EQ(0u, p.dropped) << i;
    EXPECT_LE(p.frames, 1024u);
    if (i > 0) {
      EXPECT_GT(p.time, packets[i - 1].time);
    }
    // A 440 Hz sine obeys s[n+1] + s[n-1] = 2 cos(w) s[n] on every channel.
    for (size_t n = 0; n < p.samples.size(); ++n) {
      peak = std::max(peak, std::abs(p.samples[n]));
      const size_t c = static_cast<size_t>(channels);
      if (n >= c && n + c < p.samples.size()) {
        double residual = p.samples[n + c] + p.samples[n - c] - twoCos * p.samples[n];
        worst = std::max(worst, std::abs(residual));
      }
    }
  }
  EXPECT_NEAR(0.5, peak, 0.01);
  EXPECT_LT(worst, 1e-3) << "the samples are a 440 Hz sine";
}

TEST_P(RealCapture, RemovedSourceEndsWithTheFailureLine) {
  Child child = startSine();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(readPacket(child, server->sineChannels(), 10s));
  }
  ASSERT_TRUE(server->removeSine());
  Clock::time_point removed = Clock::now();
  // Keep reading so that only the removal can end the capture.
  while (readPacket(child, server->sineChannels(), 10s)) {
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

TEST_P(RealCapture, StalledReaderSeesTheDroppedFlagAfterwards) {
  Child child = startSine();
  const int channels = server->sineChannels();
  ASSERT_TRUE(readPacket(child, channels, 10s));
  // The reader stalls: the pipe fills and the writer blocks in a write. The
  // ring then fills as the source goes on; the stall is held until the
  // clock has gone past one and a half rings (32 blocks of 1024 frames) of
  // audio since the writer blocked. A source held up by load may not have
  // filled the ring by then, so the stall is repeated until a loss shows.
  uint64_t expected = 1;
  bool sawDropped = false;
  for (int stall = 0; stall < 5 && !sawDropped; ++stall) {
    ASSERT_TRUE(wf::testing::waitFor([&] { return blockedWritingStdout(child.pid()); }, 20s,
                                     "the writer to block in a write to its full pipe"));
    const auto ringFull = Clock::now() + std::chrono::milliseconds(1500 * 32 * 1024 / 48000);
    wf::testing::waitFor([&] { return Clock::now() >= ringFull; }, 10s,
                         "one and a half rings of audio to pass");
    for (int i = 0; i < 200 && !sawDropped; ++i) {
      auto p = readPacket(child, channels, 10s);
      ASSERT_TRUE(p);
      EXPECT_EQ(expected++, p->sequence) << "sequence numbers stay consecutive";
      sawDropped = p->dropped == 1;
    }
  }
  EXPECT_TRUE(sawDropped);
  child.signal(SIGTERM);
  auto status = child.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(0, status->code);
}

TEST_P(RealCapture, SigtermInterruptsAWriteToAStalledReader) {
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

TEST_P(RealCapture, ReaderClosingThePipeEndsWithStatusZero) {
  std::string err = dir.file("err");
  auto status = runIntoClosedPipe("--capture sine", 40000, options(), err);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(0, status.code);
  EXPECT_EQ("", testing::readFile(err));
}

TEST_P(RealCapture, UnknownUidFailsWithoutOutput) {
  for (const char* uid : {"Sine", "no-such-source"}) {
    Child child = start({"--capture", uid});
    auto status = child.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(1, status->code);
    EXPECT_FALSE(child.readBytes(1, 1s));
    EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd());
  }
}

// A hung server: the capture neither waits for it when told to stop...
TEST_P(RealCapture, SigtermEndsTheCaptureWhileTheServerIsStopped) {
  Child child = startSine();
  ASSERT_TRUE(readPacket(child, server->sineChannels(), 10s));
  server->pause();
  child.signal(SIGTERM);
  // Waiting on the server would end the capture at its deadline, with the
  // failure line and status 1.
  auto status = child.wait(20s);
  server->resume();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(0, status->code);
  EXPECT_EQ("", child.readStderrToEnd());
}

// ...nor goes on forever when it is not: past the deadline, the failure line.
TEST_P(RealCapture, AServerThatStopsAnsweringEndsTheCaptureWithTheFailureLine) {
  Child child = startSine();
  ASSERT_TRUE(readPacket(child, server->sineChannels(), 10s));
  server->pause();
  // Drain the pipe so that only the server can end the capture.
  std::optional<ExitStatus> status;
  wf::testing::waitFor(
      [&] {
        child.readBytes(1 << 16, 10ms);
        status = child.wait(0ms);
        return status.has_value();
      },
      30s, "the capture to end");
  server->resume();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(1, status->code);
  EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd());
}

TEST_P(RealCapture, ListAndCaptureAgainstAStoppedServerFailWithTheFailureLine) {
  server->pause();
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--list"}, std::vector<std::string>{"--capture", "sine"}}) {
    Child child = start(args);
    auto status = child.wait(30s);
    ASSERT_TRUE(status) << args[0] << " waited on the stopped server without a limit";
    EXPECT_TRUE(status->exited) << args[0];
    EXPECT_EQ(1, status->code) << args[0];
    EXPECT_FALSE(child.readBytes(1, 0ms)) << args[0];
    EXPECT_EQ(FAILURE_LINE, child.readStderrToEnd()) << args[0];
  }
  server->resume();
}

INSTANTIATE_TEST_SUITE_P(Servers, RealCapture,
                         ::testing::Values(testing::SoundServerKind::pulseaudio,
                                           testing::SoundServerKind::pipewire),
                         [](const auto& info) { return testing::nameOf(info.param); });

}  // namespace
}  // namespace wf::capture::e2e
