#pragma once

#include <chrono>
#include <cstdint>

#include "audio-capture/io.h"
#include "audio-capture/stream/packet.h"

namespace wf::capture {

/// The two synthetic signals: a short burst and an endless paced stream.
enum class TestMode { signal, stream };

/// Shape of a synthetic signal: channel k carries a sine of 220 × (k + 1) Hz
/// at 48000 frames per second.
struct TestSignal {
  uint32_t channels;
  uint32_t frames;
  /// Packets before the mode ends; 0 for no limit.
  uint64_t packets;
  /// Amplitude of channel 0 and, when `rising`, the step per channel.
  double amplitude;
  bool rising;
  /// Pause after each packet.
  std::chrono::milliseconds pause;
};

/// `--test-signal`: 4 channels at 0.125 × (k + 1), 8 packets of 1024 frames.
/// `--test-stream`: 48 channels at 0.1, packets of 480 frames every 10 ms.
TestSignal testSignal(TestMode mode);

/// Fills `packet` with block `index` of the signal: frame count, sequence
/// number = index, time = index × frames, and the interleaved samples.
void fillBlock(const TestSignal& signal, uint64_t index, Packet& packet);

/// Runs a test mode: the header line, then packets until the mode's count is
/// reached or `stopping` is set (status 0), or until a write fails (status 1,
/// nothing on standard error). Returns the exit status.
int runTestMode(TestMode mode, Io& io);

}  // namespace wf::capture
