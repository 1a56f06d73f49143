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
/// Deferred operations ("scan") are run to their end before it returns; the
/// main loop uses startCommand instead, so that it keeps pumping meanwhile.
nlohmann::json handleCommand(const QueuedLine& line, const Registry& registry, HostState& host);

/// A command on its way: the reply so far (its "id", or already its "error"
/// or "result") and, for a deferred operation still running, the command
/// that will give the rest.
struct StartedCommand {
  nlohmann::json reply;
  std::unique_ptr<PendingCommand> pending;
};

/// Starts one command line as handleCommand does, without waiting for a
/// deferred operation.
StartedCommand startCommand(const QueuedLine& line, const Registry& registry, HostState& host);

/// Polls the pending part of a started command once (see PendingCommand::poll)
/// and returns the whole reply once it is done; none while it runs.
std::optional<nlohmann::json> pollCommand(StartedCommand& command);

}  // namespace wf::host
