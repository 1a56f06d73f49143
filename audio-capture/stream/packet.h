#pragma once

#include <cstddef>
#include <cstdint>

namespace wf::capture {

/// The largest block a capture accepts, in frames.
constexpr uint32_t MAX_FRAMES = 1024;
/// Samples in one packet: 1024 frames of 64 channels.
constexpr uint32_t PACKET_SAMPLES = 65536;
/// Bytes of the packet header that precede the samples on the stream.
constexpr size_t PACKET_HEADER_BYTES = 24;

/// One packet of the output stream. The first 24 bytes are the header as it
/// goes out (little-endian): frame count, dropped flag (1 when blocks were
/// lost before this packet), sequence number, time. Then frame count ×
/// channels interleaved samples are meaningful; the rest of the array is not
/// written.
struct Packet {
  uint32_t frames = 0;
  uint32_t dropped = 0;
  uint64_t sequence = 0;
  uint64_t time = 0;
  float samples[PACKET_SAMPLES] = {};
};
static_assert(offsetof(Packet, samples) == PACKET_HEADER_BYTES);

}  // namespace wf::capture
