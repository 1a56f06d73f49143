#include "audio-capture/signal/test_signal.h"

#include <cmath>
#include <memory>

#include "audio-capture/listing/json_line.h"
#include "audio-capture/stream/packet.h"

namespace wf::capture {

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr uint32_t RATE = 48000;

}  // namespace

TestSignal testSignal(TestMode mode) {
  if (mode == TestMode::signal) {
    return TestSignal{4, 1024, 8, 0.125, true, std::chrono::milliseconds(0)};
  }
  return TestSignal{48, 480, 0, 0.1, false, std::chrono::milliseconds(10)};
}

void fillBlock(const TestSignal& signal, uint64_t index, Packet& packet) {
  packet.frames = signal.frames;
  packet.sequence = index;
  packet.time = index * signal.frames;
  for (uint32_t j = 0; j < signal.frames; ++j) {
    uint64_t n = index * signal.frames + j;
    for (uint32_t k = 0; k < signal.channels; ++k) {
      double amplitude = signal.rising ? signal.amplitude * (k + 1) : signal.amplitude;
      double frequency = 220.0 * (k + 1);
      double value = amplitude * std::sin(TWO_PI * frequency * static_cast<double>(n) / RATE);
      packet.samples[size_t{j} * signal.channels + k] = static_cast<float>(value);
    }
  }
}

int runTestMode(TestMode mode, Io& io) {
  TestSignal signal = testSignal(mode);
  json({{"channels", signal.channels}, {"sampleRate", RATE}, {"mode", "synthetic"}}, io.out);
  auto packet = std::make_unique<Packet>();
  for (uint64_t i = 0; io.stopping == 0 && (signal.packets == 0 || i < signal.packets); ++i) {
    fillBlock(signal, i, *packet);
    size_t sampleBytes = size_t{signal.frames} * signal.channels * sizeof(float);
    if (!writeAll(io.raw, packet.get(), PACKET_HEADER_BYTES, io.stopping) ||
        !writeAll(io.raw, packet->samples, sampleBytes, io.stopping)) {
      return 1;
    }
    if (signal.pause.count() > 0) {
      io.clock.sleepFor(signal.pause);
    }
  }
  return 0;
}

}  // namespace wf::capture
