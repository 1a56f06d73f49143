#include "audio-capture/stream/packet_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "testing/wait_for.h"

namespace wf::capture {
namespace {

// The ring is too large for a test's stack.
class PacketRingTest : public ::testing::Test {
 protected:
  std::unique_ptr<PacketRing> owned = std::make_unique<PacketRing>();
  PacketRing& ring = *owned;

  bool pushBlock(float value, uint64_t time, uint32_t frames = 2, uint32_t channels = 2) {
    std::vector<float> samples(size_t{frames} * channels, value);
    return ring.push(frames, time, samples.data(), samples.size());
  }

  // Pops the front packet and returns a copy of its header and first sample.
  struct Seen {
    uint32_t frames;
    uint32_t dropped;
    uint64_t sequence;
    uint64_t time;
    float first;
  };
  Seen popOne() {
    const Packet* p = ring.front();
    EXPECT_NE(nullptr, p);
    if (!p) {
      return {};
    }
    Seen s{p->frames, p->dropped, p->sequence, p->time, p->samples[0]};
    ring.pop();
    return s;
  }
};

TEST_F(PacketRingTest, StartsEmpty) {
  EXPECT_EQ(nullptr, ring.front());
  EXPECT_EQ(0u, ring.queued());
}

TEST_F(PacketRingTest, HandsOutPacketsInOrderWithTheirHeaders) {
  std::vector<float> samples = {0.5f, -0.25f, 1.0f, 2.0f, 3.0f, 4.0f};
  ASSERT_TRUE(ring.push(3, 1000, samples.data(), samples.size()));
  ASSERT_TRUE(pushBlock(7.0f, 2000, 0, 2));
  EXPECT_EQ(2u, ring.queued());

  const Packet* p = ring.front();
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(p, ring.front()) << "front stays put until pop";
  EXPECT_EQ(3u, p->frames);
  EXPECT_EQ(0u, p->dropped);
  EXPECT_EQ(0u, p->sequence);
  EXPECT_EQ(1000u, p->time);
  EXPECT_EQ(samples, std::vector<float>(p->samples, p->samples + samples.size()));
  ring.pop();

  Seen second = popOne();
  EXPECT_EQ(0u, second.frames);
  EXPECT_EQ(1u, second.sequence);
  EXPECT_EQ(2000u, second.time);
  EXPECT_EQ(nullptr, ring.front());
  EXPECT_EQ(0u, ring.queued());
}

TEST_F(PacketRingTest, FullRingLosesBlocksAndMarksOnlyTheNextQueuedPacket) {
  for (uint32_t i = 0; i < RING_PACKETS; ++i) {
    ASSERT_TRUE(pushBlock(static_cast<float>(i), i)) << i;
  }
  EXPECT_EQ(RING_PACKETS, ring.queued());
  EXPECT_FALSE(pushBlock(100.0f, 100));
  EXPECT_FALSE(pushBlock(101.0f, 101));
  EXPECT_EQ(RING_PACKETS, ring.queued()) << "a lost block takes no slot";

  for (uint32_t i = 0; i < RING_PACKETS; ++i) {
    Seen s = popOne();
    EXPECT_EQ(i, s.sequence);
    EXPECT_EQ(0u, s.dropped) << "queued before the loss: " << i;
    EXPECT_EQ(static_cast<float>(i), s.first);
  }
  ASSERT_TRUE(pushBlock(102.0f, 102));
  ASSERT_TRUE(pushBlock(103.0f, 103));

  Seen afterLoss = popOne();
  EXPECT_EQ(1u, afterLoss.dropped);
  EXPECT_EQ(RING_PACKETS, afterLoss.sequence) << "lost blocks take no sequence number";
  EXPECT_EQ(102u, afterLoss.time);
  Seen next = popOne();
  EXPECT_EQ(0u, next.dropped);
  EXPECT_EQ(RING_PACKETS + 1, next.sequence);
}

TEST_F(PacketRingTest, OnePoppedSlotMakesRoomForOneBlock) {
  for (uint32_t i = 0; i < RING_PACKETS; ++i) {
    ASSERT_TRUE(pushBlock(static_cast<float>(i), i));
  }
  popOne();
  EXPECT_TRUE(pushBlock(50.0f, 50));
  EXPECT_FALSE(pushBlock(51.0f, 51));
  for (uint32_t i = 1; i < RING_PACKETS; ++i) {
    EXPECT_EQ(static_cast<float>(i), popOne().first);
  }
  Seen reused = popOne();
  EXPECT_EQ(50.0f, reused.first) << "the reused slot carries the new block";
  EXPECT_EQ(0u, reused.dropped) << "nothing was lost before it";
}

TEST_F(PacketRingTest, KeepsGoingPastManyLapsOfTheSlots) {
  for (uint32_t i = 0; i < RING_PACKETS * 100 + 5; ++i) {
    ASSERT_TRUE(pushBlock(static_cast<float>(i), i));
    Seen s = popOne();
    ASSERT_EQ(i, s.sequence);
    ASSERT_EQ(static_cast<float>(i), s.first);
  }
  EXPECT_EQ(0u, ring.queued());
}

// One producer and one consumer thread: every block either arrives whole and
// in order, or is lost and reported on the next queued packet.
TEST_F(PacketRingTest, ConcurrentProducerAndConsumerNeverTearOrReorder) {
  constexpr uint32_t BLOCKS = 20000;
  constexpr uint32_t FRAMES = 64;
  constexpr uint32_t CHANNELS = 4;
  std::atomic<bool> produced{false};
  std::thread producer([&] {
    std::vector<float> block(size_t{FRAMES} * CHANNELS);
    for (uint32_t i = 0; i < BLOCKS; ++i) {
      std::fill(block.begin(), block.end(), static_cast<float>(i));
      ring.push(FRAMES, i, block.data(), block.size());
      if (i % 1000 == 0) {
        std::this_thread::yield();
      }
    }
    produced = true;
  });

  std::vector<Seen> seen;
  bool torn = false;
  while (true) {
    // Read `produced` before looking at the ring, so an empty ring after it
    // was set really is the end.
    bool finished = produced.load();
    const Packet* p = ring.front();
    if (!p) {
      if (finished) {
        break;
      }
      std::this_thread::yield();
      continue;
    }
    for (size_t s = 0; s < size_t{FRAMES} * CHANNELS; ++s) {
      torn = torn || p->samples[s] != p->samples[0];
    }
    seen.push_back({p->frames, p->dropped, p->sequence, p->time, p->samples[0]});
    ring.pop();
  }
  producer.join();

  EXPECT_FALSE(torn);
  ASSERT_FALSE(seen.empty());
  float previous = -1.0f;
  for (size_t i = 0; i < seen.size(); ++i) {
    ASSERT_EQ(i, seen[i].sequence);
    ASSERT_EQ(FRAMES, seen[i].frames);
    ASSERT_EQ(static_cast<float>(seen[i].time), seen[i].first) << "header and samples agree";
    ASSERT_GT(seen[i].first, previous);
    EXPECT_EQ(seen[i].first > previous + 1 ? 1u : 0u, seen[i].dropped) << i;
    previous = seen[i].first;
  }
}

// A writer stuck in write(1) holds its packet while the audio thread keeps
// queueing: the held packet must stay intact, the blocks that find the ring
// full are lost, and once the writer moves on the stream resumes in order
// with the loss marked on the first packet queued after it.
TEST_F(PacketRingTest, StalledConsumerKeepsItsPacketWhileTheProducerLosesBlocks) {
  using namespace std::chrono_literals;
  constexpr uint32_t FRAMES = 64;
  constexpr uint32_t CHANNELS = 4;
  constexpr size_t SAMPLES = size_t{FRAMES} * CHANNELS;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> lost{0};
  std::thread producer([&] {
    std::vector<float> block(SAMPLES);
    for (uint32_t i = 0; !stop.load(); ++i) {
      std::fill(block.begin(), block.end(), static_cast<float>(i));
      if (!ring.push(FRAMES, i, block.data(), block.size())) {
        ++lost;
      }
      if (i % 64 == 0) {
        std::this_thread::yield();
      }
    }
  });
  // Stops the producer however the test ends.
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Joiner() {
      stop = true;
      thread.join();
    }
  } joiner{stop, producer};

  std::vector<Seen> seen;
  bool torn = false;
  // Takes the front packet if there is one; checks it is whole.
  auto take = [&] {
    const Packet* p = ring.front();
    if (!p) {
      return false;
    }
    for (size_t s = 0; s < SAMPLES; ++s) {
      torn = torn || p->samples[s] != static_cast<float>(p->time);
    }
    seen.push_back({p->frames, p->dropped, p->sequence, p->time, p->samples[0]});
    ring.pop();
    return true;
  };
  auto drain_at_least = [&](size_t n, const char* what) {
    const size_t target = seen.size() + n;
    return wf::testing::waitFor(
        [&] {
          while (seen.size() < target && take()) {
          }
          return seen.size() >= target;
        },
        60s, what);
  };

  ASSERT_TRUE(drain_at_least(100, "packets before the stall"));

  // The stall: hold the front packet, unpopped, while the producer fills the
  // ring and goes on losing blocks.
  const Packet* held = nullptr;
  ASSERT_TRUE(wf::testing::waitFor([&] { return (held = ring.front()) != nullptr; }, 60s,
                                   "a packet to hold"));
  const Seen before{held->frames, held->dropped, held->sequence, held->time, held->samples[0]};
  const uint64_t lost_before = lost.load();
  EXPECT_TRUE(wf::testing::waitFor([&] { return lost.load() >= lost_before + 1000; }, 60s,
                                   "blocks to be lost against the full ring"));
  EXPECT_EQ(RING_PACKETS, ring.queued());
  EXPECT_EQ(held, ring.front());
  EXPECT_EQ(before.sequence, held->sequence);
  EXPECT_EQ(before.time, held->time);
  EXPECT_EQ(before.dropped, held->dropped);
  for (size_t s = 0; s < SAMPLES; ++s) {
    ASSERT_EQ(static_cast<float>(before.time), held->samples[s]) << "sample " << s;
  }

  // The writer moves on: everything queued comes out, then fresh blocks.
  ASSERT_TRUE(drain_at_least(RING_PACKETS + 100, "packets after the stall"));

  EXPECT_FALSE(torn);
  for (size_t i = 1; i < seen.size(); ++i) {
    ASSERT_EQ(seen[i - 1].sequence + 1, seen[i].sequence) << "lost blocks take no number";
    ASSERT_EQ(static_cast<float>(seen[i].time), seen[i].first);
    ASSERT_GT(seen[i].time, seen[i - 1].time);
    const bool gap = seen[i].time > seen[i - 1].time + 1;
    EXPECT_EQ(gap ? 1u : 0u, seen[i].dropped) << "packet " << i;
  }
  // The held packet and the 31 behind it filled the ring; the first packet
  // queued after them carries the stall's loss.
  auto after = std::find_if(seen.begin(), seen.end(), [&](const Seen& s) {
    return s.sequence == before.sequence + RING_PACKETS;
  });
  ASSERT_NE(seen.end(), after);
  EXPECT_EQ(1u, after->dropped);
}

}  // namespace
}  // namespace wf::capture
