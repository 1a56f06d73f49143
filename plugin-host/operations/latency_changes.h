#pragma once

#include "channel/host_state.h"

namespace wf::host {

/// The chain's total latency may not exceed this many samples, whatever the
/// sample rate ("Plugin latency exceeds one second").
constexpr uint32_t MAX_CHAIN_LATENCY = 48000;

/// Main thread, once per turn: every insert whose plug-in announced a latency
/// change since the last turn re-reads its latency and follows it
/// (Plugin::followLatency), within the chain's total limit; every insert
/// whose dry delay line ran short gets more room. Plug-in calls and
/// allocations stay off the audio worker.
void serviceLatencyChanges(HostState& host);

/// The sum of the latencies the inserts work with.
uint64_t chainLatency(const Chain& chain);

}  // namespace wf::host
