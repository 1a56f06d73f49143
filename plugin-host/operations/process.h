#pragma once

#include <nlohmann/json.hpp>

#include "channel/envelope.h"
#include "channel/host_state.h"

namespace wf::host {

/// Handles one "process" line on the audio worker and returns its reply:
/// reads "pcm" (2048 samples, or 512 when "instrument" is true), runs it
/// through every insert of the active chain in order while holding the chain
/// lock, and answers the processed samples.
nlohmann::json processRequest(const QueuedLine& line, HostState& host);

/// The body of "process" on an already parsed request; the result value.
nlohmann::json processBlock(const nlohmann::json& request, HostState& host);

}  // namespace wf::host
