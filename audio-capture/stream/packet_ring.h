#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audio-capture/stream/packet.h"

namespace wf::capture {

/// Packets in the ring between the audio thread and the writer.
constexpr uint32_t RING_PACKETS = 32;

/// The queue between the audio thread (the one producer) and the writer loop
/// (the one consumer). Neither side waits, locks or allocates.
///
/// The protocol, in one place:
/// - Two free-running indices wrap at 2^32: `written_` counts packets ever
///   queued and is stored only by the producer; `read_` counts packets ever
///   written out and is stored only by the consumer. Slot i is
///   packets_[i % RING_PACKETS] (32 divides 2^32, so wrapping keeps the
///   mapping), and written − read is the number of queued packets.
/// - The producer fills a slot, then stores `written_` with release; the
///   consumer loads it with acquire, so it sees the whole packet.
/// - The consumer stores `read_` with release only after it is done with the
///   slot; the producer loads it with acquire before reusing the slot, so it
///   never overwrites a packet that is still being written out.
/// - Each side loads its own index relaxed: no one else stores it.
/// - The sequence number and the lost-block mark are the producer's alone.
///
/// Large (about 8.3 MiB): keep it on the heap.
class PacketRing {
 public:
  PacketRing() = default;
  PacketRing(const PacketRing&) = delete;
  PacketRing& operator=(const PacketRing&) = delete;

  /// Producer: queues one block of `frames` frames whose `count` interleaved
  /// samples are at `samples` (count ≤ PACKET_SAMPLES). The packet gets the
  /// next sequence number and is marked dropped when blocks were lost since
  /// the last queued one. When the ring is full the block is lost instead and
  /// false is returned.
  bool push(uint32_t frames, uint64_t time, const float* samples, size_t count);

  /// Consumer: the oldest queued packet, or null when the ring is empty. It
  /// stays valid and unchanged until `pop`.
  const Packet* front() const {
    uint32_t r = read_.load(std::memory_order_relaxed);
    uint32_t w = written_.load(std::memory_order_acquire);
    return r == w ? nullptr : &packets_[r % RING_PACKETS];
  }

  /// Consumer: releases the packet `front` returned to the producer.
  void pop() { read_.store(read_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  /// Either side: the packets queued at some moment during the call.
  uint32_t queued() const {
    return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire);
  }

 private:
  Packet packets_[RING_PACKETS];
  alignas(64) std::atomic<uint32_t> written_{0};
  alignas(64) std::atomic<uint32_t> read_{0};
  // Producer only.
  uint64_t sequence_ = 0;
  bool lost_ = false;
};

}  // namespace wf::capture
