#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wf::host {

/// The last value of each output parameter of an insert, handed from the
/// audio worker (one writer) to the main thread (one reader) without locks or
/// allocation. Each parameter ID owns one slot from its first value on; a
/// slot holds the newest value and a changed mark. Values between two takes
/// are overwritten: only the latest one matters to a meter.
class OutputMailbox {
 public:
  static constexpr size_t CAPACITY = 256;

  /// Writer: stores `value` as the newest of `id`. False when every slot is
  /// taken by other IDs; the value is then dropped.
  bool post(uint32_t id, double value) {
    const size_t used = used_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < used; ++i) {
      if (slots_[i].id == id) {
        store(slots_[i], value);
        return true;
      }
    }
    if (used == CAPACITY) {
      return false;
    }
    slots_[used].id = id;
    store(slots_[used], value);
    // Publishes the slot's ID to the reader.
    used_.store(used + 1, std::memory_order_release);
    return true;
  }

  /// Reader: calls deliver(id, value) for every ID changed since the last
  /// take, with its newest value. A value posted while a take runs is
  /// delivered by this take or the next, never lost.
  template <typename Deliver>
  void take(Deliver&& deliver) {
    const size_t used = used_.load(std::memory_order_acquire);
    for (size_t i = 0; i < used; ++i) {
      Slot& slot = slots_[i];
      if (slot.changed.exchange(false, std::memory_order_acquire)) {
        const uint64_t bits = slot.bits.load(std::memory_order_relaxed);
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        deliver(slot.id, value);
      }
    }
  }

 private:
  struct Slot {
    // Written once, before the slot is published through used_.
    uint32_t id = 0;
    std::atomic<uint64_t> bits{0};
    std::atomic<bool> changed{false};
  };
  static_assert(std::atomic<uint64_t>::is_always_lock_free);

  static void store(Slot& slot, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    slot.bits.store(bits, std::memory_order_relaxed);
    slot.changed.store(true, std::memory_order_release);
  }

  std::array<Slot, CAPACITY> slots_{};
  std::atomic<size_t> used_{0};
};

}  // namespace wf::host
