#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "testing/process.h"

namespace wf::testing {

/// One packet of audio-capture's output stream, decoded.
struct CapturePacket {
  uint32_t frames = 0;
  uint32_t dropped = 0;
  uint64_t sequence = 0;
  uint64_t time = 0;
  std::vector<float> samples;
};

/// Decodes audio-capture's output stream (one JSON header line, then packets
/// of a 24-byte little-endian header and frames × channels floats) from bytes
/// fed in pieces of any size.
class CaptureStreamDecoder {
 public:
  void feed(std::string_view bytes);

  /// The header line without its newline, once it is complete.
  const std::optional<std::string>& header() const { return header_; }
  /// "channels" of the header (0 before the header is complete).
  uint32_t channels() const { return channels_; }
  /// Packets completed so far, removed from the decoder.
  std::vector<CapturePacket> take();
  /// Bytes received that belong to no complete line or packet yet.
  size_t pendingBytes() const { return buffer_.size(); }

 private:
  void decode();

  std::string buffer_;
  std::optional<std::string> header_;
  uint32_t channels_ = 0;
  std::vector<CapturePacket> packets_;
};

/// "channels" of a header line; 0 when absent.
uint32_t headerChannels(const std::string& line);

/// Reads one packet of `channels` channels from the child's standard output.
std::optional<CapturePacket> readPacket(Child& child, uint32_t channels,
                                        std::chrono::milliseconds timeout);

}  // namespace wf::testing
