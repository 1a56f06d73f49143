#pragma once

#include <nlohmann/json.hpp>

#include "channel/envelope.h"
#include "channel/host_state.h"
#include "channel/registry.h"

namespace wf::host {

/// Handles one command line on the main thread and returns its reply: the
/// envelope, then "op" from the registry's chain operations, else "index"
/// (an unsigned integer, checked against the chain: "Insert missing") and
/// the insert operation ("Unknown operation" when none is registered). The
/// index is checked before the name, so an unknown "op" with a bad "index"
/// reports the index problem.
nlohmann::json handleCommand(const QueuedLine& line, const Registry& registry, HostState& host);

}  // namespace wf::host
