#include "audio-capture/stream/capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <thread>

#include "audio-capture/failure.h"
#include "audio-capture/fake_run.h"
#include "audio-capture/listing/devices.h"
#include "audio-capture/platform/fake_platform.h"
#include "audio-capture/stream/fake_clock.h"
#include "audio-capture/stream/fake_sink.h"
#include "testing/capture_stream.h"

namespace wf::capture {
namespace {

constexpr ObjectId DEVICE = 21;

// One capture against the fakes: a 2-channel device "mic" at 48000 Hz. The
// test scripts what happens on each 1 ms pass of an empty writer loop.
class CaptureTest : public ::testing::Test, protected FakeRun {
 protected:
  std::function<void(int pass)> onPass;
  int passes = 0;

  CaptureTest() {
    FakeDevice d;
    d.id = DEVICE;
    d.uid = "mic";
    d.inputStreams = {2};
    fake.properties->devices.push_back(d);
    clock.onSleep = [this] {
      int pass = passes++;
      if (onPass) {
        onPass(pass);
      }
      if (pass > 5000) {
        stop = 1;  // a test that never ends its capture must not hang
      }
    };
  }

  FakeDevice& device() { return fake.properties->device(DEVICE); }
  FakeInputUnit& unit() { return *fake.units->unit; }

  // Runs the capture; returns the failure reason, or nullopt for a normal end.
  std::optional<Failure::Reason> runCapture(const std::string& uid = "mic") {
    try {
      capture(uid, devices(*fake.platform.properties), fake.platform, io);
      return std::nullopt;
    } catch (const Failure& f) {
      return f.reason();
    }
  }

  std::vector<testing::CapturePacket> packets() {
    testing::CaptureStreamDecoder decoder;
    decoder.feed(out.str());
    decoder.feed(raw.bytes);
    EXPECT_EQ(0u, decoder.pendingBytes());
    return decoder.take();
  }

  static std::vector<float> ramp(uint32_t frames, uint32_t channels, float start) {
    std::vector<float> v(size_t{frames} * channels);
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] = start + static_cast<float>(i);
    }
    return v;
  }
};

TEST_F(CaptureTest, SetsUpTheUnitInOrderAndWritesTheHeaderFirst) {
  onPass = [&](int) { stop = 1; };
  ASSERT_EQ(std::nullopt, runCapture());
  std::vector<std::string> expected = {"find",         "new",       "set 2003 1 1", "set 2003 2 0",
                                       "set 2000 0 0", "set 8 2 1", "set 14 0 0",   "set 2005 0 0",
                                       "initialize",   "start",     "stop",         "uninitialize",
                                       "dispose"};
  EXPECT_EQ(expected, fake.units->calls);
  EXPECT_EQ(nullptr, fake.units->unit) << "the unit is gone after the shutdown";
  EXPECT_EQ(nlohmann::json({{"channels", 2}, {"sampleRate", 48000.0}, {"mode", "coreaudio"}}),
            nlohmann::json::parse(out.str()));
  EXPECT_EQ("", raw.bytes);
  EXPECT_EQ("", err.str());
}

TEST_F(CaptureTest, AsksForInterleavedFloatsAtTheDevicesFormat) {
  device().rate = 44100;
  device().inputStreams = {1, 2};
  onPass = [&](int) {
    const StreamDescription& f = unit().format;
    EXPECT_EQ(44100.0, f.sampleRate);
    EXPECT_EQ(kAudioFormatLinearPCM, f.formatId);
    EXPECT_EQ(9u, f.formatFlags);
    EXPECT_EQ(12u, f.bytesPerPacket);
    EXPECT_EQ(1u, f.framesPerPacket);
    EXPECT_EQ(12u, f.bytesPerFrame);
    EXPECT_EQ(3u, f.channelsPerFrame);
    EXPECT_EQ(32u, f.bitsPerChannel);
    EXPECT_EQ(0u, f.reserved);
    EXPECT_EQ(DEVICE, unit().device);
    EXPECT_EQ(1024u, unit().maxFrames);
    EXPECT_TRUE(unit().started);
    stop = 1;
  };
  ASSERT_EQ(std::nullopt, runCapture());
  EXPECT_EQ(1, passes);
}

TEST_F(CaptureTest, MissingDeviceOrComponentFailsBeforeAnyOutput) {
  EXPECT_EQ(Failure::Reason::deviceMissing, runCapture("MIC"));
  device().inputStreams = {65};
  EXPECT_EQ(Failure::Reason::deviceMissing, runCapture("mic")) << "skipped by the enumeration";
  device().inputStreams = {2};
  fake.units->componentPresent = false;
  EXPECT_EQ(Failure::Reason::componentMissing, runCapture("mic"));
  EXPECT_EQ("", out.str());
  EXPECT_EQ("", raw.bytes);
}

class SetupCallFailure : public CaptureTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SetupCallFailure, DisposesOfTheUnitAndWritesNothing) {
  std::string failing = GetParam();
  fake.units->status = [&](const std::string& call) { return call == failing ? -1 : 0; };
  EXPECT_EQ(Failure::Reason::configuration, runCapture());
  EXPECT_EQ("", out.str());
  EXPECT_EQ(failing, fake.units->calls.at(fake.units->calls.size() - (failing == "new" ? 1 : 4)));
  if (failing != "new") {
    std::vector<std::string> tail(fake.units->calls.end() - 3, fake.units->calls.end());
    EXPECT_EQ((std::vector<std::string>{"stop", "uninitialize", "dispose"}), tail);
  }
  EXPECT_EQ(nullptr, fake.units->unit);
}

INSTANTIATE_TEST_SUITE_P(Calls, SetupCallFailure,
                         ::testing::Values("new", "set 2003 1 1", "set 2003 2 0", "set 2000 0 0",
                                           "set 8 2 1", "set 14 0 0", "set 2005 0 0", "initialize",
                                           "start"),
                         [](const auto& info) { return "call" + std::to_string(info.index); });

TEST_F(CaptureTest, PacketsCarryTheBlocksInOrder) {
  onPass = [&](int pass) {
    if (pass == 0) {
      EXPECT_EQ(0, unit().deliver(3, 1000, ramp(3, 2, 0.5f)));
      EXPECT_EQ(0, unit().deliver(1024, 2000, ramp(1024, 2, -7.0f)));
      EXPECT_EQ(0, unit().deliver(0, 3000));
    } else if (pass == 1) {
      stop = 1;
    }
  };
  ASSERT_EQ(std::nullopt, runCapture());
  auto p = packets();
  ASSERT_EQ(3u, p.size());
  EXPECT_EQ(3u, p[0].frames);
  EXPECT_EQ(0u, p[0].sequence);
  EXPECT_EQ(0u, p[0].dropped);
  EXPECT_EQ(1000u, p[0].time);
  EXPECT_EQ(ramp(3, 2, 0.5f), p[0].samples);
  EXPECT_EQ(1024u, p[1].frames);
  EXPECT_EQ(1u, p[1].sequence);
  EXPECT_EQ(2000u, p[1].time);
  EXPECT_EQ(ramp(1024, 2, -7.0f), p[1].samples);
  EXPECT_EQ(0u, p[2].frames);
  EXPECT_EQ(2u, p[2].sequence);
}

TEST_F(CaptureTest, StalledReaderLosesBlocksAndMarksTheNextPacket) {
  onPass = [&](int pass) {
    if (pass == 0) {
      for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(0, unit().deliver(4, i, ramp(4, 2, static_cast<float>(i))));
      }
    } else if (pass == 1) {
      EXPECT_EQ(0, unit().deliver(4, 40, ramp(4, 2, 40.0f)));
      EXPECT_EQ(0, unit().deliver(4, 41, ramp(4, 2, 41.0f)));
    } else if (pass == 2) {
      stop = 1;
    }
  };
  ASSERT_EQ(std::nullopt, runCapture());
  auto p = packets();
  ASSERT_EQ(34u, p.size());
  for (uint64_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(i, p[i].sequence);
    EXPECT_EQ(i == 32 ? 1u : 0u, p[i].dropped) << i;
  }
  EXPECT_EQ(31u, p[31].time);
  EXPECT_EQ(40u, p[32].time) << "blocks 32 to 39 were lost";
  EXPECT_EQ(ramp(4, 2, 40.0f), p[32].samples);
}

TEST_F(CaptureTest, BlockOverMaximumEndsAsDisconnectWithoutBeingWritten) {
  onPass = [&](int pass) {
    if (pass == 0) {
      EXPECT_EQ(0, unit().deliver(1024, 1));
    } else if (pass == 1) {
      EXPECT_EQ(kAudio_ParamError, unit().deliver(1025, 2));
    }
  };
  EXPECT_EQ(Failure::Reason::disconnect, runCapture());
  auto p = packets();
  ASSERT_EQ(1u, p.size()) << "only the block that fits";
  EXPECT_EQ(1024u, p[0].frames);
  EXPECT_EQ("stop", fake.units->calls.at(fake.units->calls.size() - 3));
}

TEST_F(CaptureTest, FailedRenderEndsAsDisconnect) {
  onPass = [&](int pass) {
    if (pass == 0) {
      unit().renderStatus = -10863;
      EXPECT_EQ(-10863, unit().deliver(16, 1));
    }
  };
  EXPECT_EQ(Failure::Reason::disconnect, runCapture());
  EXPECT_TRUE(packets().empty());
}

struct HealthCase {
  const char* what;
  std::function<void(FakeDevice&)> change;
};

void PrintTo(const HealthCase& c, std::ostream* os) {
  *os << c.what;
}

class HealthCheck : public CaptureTest, public ::testing::WithParamInterface<HealthCase> {};

TEST_P(HealthCheck, EndsTheCaptureWithinOneInterval) {
  int changedAt = 40;
  onPass = [&](int pass) {
    if (pass == changedAt) {
      GetParam().change(device());
    }
    unit().deliver(8, static_cast<uint64_t>(pass));
  };
  EXPECT_EQ(Failure::Reason::disconnect, runCapture());
  // Each pass is one 1 ms sleep plus one packet; the check runs every 250 ms.
  EXPECT_GT(passes, changedAt);
  EXPECT_LE(passes, changedAt + 260);
  EXPECT_FALSE(packets().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, HealthCheck,
    ::testing::Values(
        HealthCase{"dead", [](FakeDevice& d) { d.alive = 0; }},
        HealthCase{"alive_unreadable",
                   [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyDeviceIsAlive}; }},
        HealthCase{"rate_changed", [](FakeDevice& d) { d.rate = 44100; }},
        HealthCase{"rate_nan", [](FakeDevice& d) { d.rate = std::nan(""); }},
        HealthCase{"rate_unreadable",
                   [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyNominalSampleRate}; }},
        HealthCase{"channels_changed",
                   [](FakeDevice& d) {
                     d.inputStreams = {2, 1};
                   }},
        HealthCase{"channels_unreadable",
                   [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyStreamConfiguration}; }}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(CaptureTest, HealthIsCheckedEveryQuarterSecond) {
  onPass = [&](int pass) {
    if (pass == 1000) {
      stop = 1;
    }
  };
  ASSERT_EQ(std::nullopt, runCapture());
  std::string alive =
      std::to_string(DEVICE) + " " + std::to_string(kAudioDevicePropertyDeviceIsAlive);
  auto checks = std::count(fake.properties->reads.begin(), fake.properties->reads.end(), alive);
  EXPECT_GE(checks, 4);
  EXPECT_LE(checks, 5);
}

TEST_F(CaptureTest, ClosedOutputEndsNormallyWithoutAdvancing) {
  raw.failAt = 1;  // the header of the first packet goes out, its samples do not
  onPass = [&](int pass) {
    if (pass == 0) {
      unit().deliver(8, 1);
    }
  };
  ASSERT_EQ(std::nullopt, runCapture());
  EXPECT_EQ(size_t{24}, raw.bytes.size());
  EXPECT_EQ("dispose", fake.units->calls.back());
}

TEST_F(CaptureTest, StopDuringAWriteEndsNormally) {
  raw.chunk = 10;
  raw.onWrite = [&] { stop = 1; };
  onPass = [&](int pass) {
    if (pass == 0) {
      unit().deliver(8, 1);
    }
  };
  ASSERT_EQ(std::nullopt, runCapture());
  EXPECT_EQ(size_t{10}, raw.bytes.size()) << "the packet is left incomplete";
}

// A clock whose first sleep starts a real audio thread: every block either
// arrives whole and in order, or is lost and reported on the next packet.
class ProducerClock : public Clock {
 public:
  std::function<void()> producer;
  std::thread thread;
  std::atomic<bool> done{false};
  volatile std::sig_atomic_t* stop = nullptr;

  TimePoint now() override { return steadyClock().now(); }
  void sleepFor(std::chrono::microseconds d) override {
    if (!thread.joinable()) {
      thread = std::thread([this] {
        producer();
        done = true;
      });
    }
    if (done) {
      *stop = 1;
    }
    steadyClock().sleepFor(d);
  }
};

TEST(CaptureRing, ConcurrentProducerNeverTearsOrReordersBlocks) {
  FakePlatform fake;
  FakeDevice d;
  d.id = DEVICE;
  d.uid = "mic";
  d.inputStreams = {4};
  fake.properties->devices.push_back(d);
  std::ostringstream out, err;
  RecordingSink raw;
  volatile std::sig_atomic_t stop = 0;
  ProducerClock clock;
  clock.stop = &stop;
  FakeInputUnit* unit = nullptr;
  clock.producer = [&] {
    for (uint32_t i = 0; i < 3000; ++i) {
      unit->deliver(64, i, std::vector<float>(256, static_cast<float>(i)));
      if (i % 250 == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    }
  };
  fake.units->status = [&](const std::string& call) {
    if (call == "start") {
      unit = fake.units->unit;
    }
    return 0;
  };
  Io io{out, raw, err, clock, stop};
  capture("mic", devices(*fake.platform.properties), fake.platform, io);
  clock.thread.join();
  testing::CaptureStreamDecoder decoder;
  decoder.feed(out.str());
  decoder.feed(raw.bytes);
  auto p = decoder.take();
  ASSERT_GT(p.size(), 32u);
  float previous = -1.0f;
  for (size_t i = 0; i < p.size(); ++i) {
    ASSERT_EQ(i, p[i].sequence);
    ASSERT_EQ(256u, p[i].samples.size());
    for (float s : p[i].samples) {
      ASSERT_EQ(p[i].samples[0], s) << "packet " << i << " is torn";
    }
    float block = p[i].samples[0];
    ASSERT_GT(block, previous);
    EXPECT_EQ(block > previous + 1 ? 1u : 0u, p[i].dropped) << i;
    previous = block;
  }
}

}  // namespace
}  // namespace wf::capture
