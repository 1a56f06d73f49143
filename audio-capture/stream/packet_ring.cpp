#include "audio-capture/stream/packet_ring.h"

#include <cstring>

namespace wf::capture {

bool PacketRing::push(uint32_t frames, uint64_t time, const float* samples, size_t count) {
  uint32_t w = written_.load(std::memory_order_relaxed);
  if (w - read_.load(std::memory_order_acquire) >= RING_PACKETS) {
    lost_ = true;
    return false;
  }
  Packet& packet = packets_[w % RING_PACKETS];
  packet.frames = frames;
  packet.dropped = lost_ ? 1 : 0;
  packet.sequence = sequence_++;
  packet.time = time;
  if (count > 0) {  // an empty block may come with no buffer at all
    std::memcpy(packet.samples, samples, count * sizeof(float));
  }
  lost_ = false;
  written_.store(w + 1, std::memory_order_release);
  return true;
}

}  // namespace wf::capture
