#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/envelope.h"
#include "channel/host_state.h"

namespace wf::host {

/// Handles one "process" line on the audio worker and returns its reply line:
/// reads "pcm" (2048 samples, or 512 when "instrument" is true), runs it
/// through every insert of the active chain in order while holding the chain
/// lock, and answers the processed samples. Takes the line's samples when the
/// reader has already decoded them.
std::string processRequest(QueuedLine& line, HostState& host);

/// The body of "process": runs `samples` through the chain in place, with the
/// request's other members (events, transport) from `request`. Returns the
/// chain's total latency when an insert ran with a newly adopted latency in
/// this block (the reply then carries it as "latency"); none otherwise.
std::optional<uint64_t> processBlock(const nlohmann::json& request, std::vector<float>& samples,
                                     HostState& host);

}  // namespace wf::host
