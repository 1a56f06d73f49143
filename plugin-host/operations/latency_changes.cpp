#include "operations/latency_changes.h"

namespace wf::host {

uint64_t chainLatency(const Chain& chain) {
  uint64_t total = 0;
  for (const auto& insert : chain) {
    total += insert->reportedLatency.load();
  }
  return total;
}

void serviceLatencyChanges(HostState& host) {
  for (auto& insert : host.chain) {
    // A twin's announcement is the insert's: both instances restart together.
    bool announced = insert->handler.latencyChanged.exchange(false);
    if (insert->twin) {
      announced = insert->twin->handler.latencyChanged.exchange(false) || announced;
    }
    if (insert->delayNeedsRoom.exchange(false)) {
      insert->growDryDelay();
    }
    if (announced) {
      const uint64_t others = chainLatency(host.chain) - insert->reportedLatency.load();
      insert->followLatency(others, MAX_CHAIN_LATENCY);
    }
  }
}

}  // namespace wf::host
