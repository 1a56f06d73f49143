#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace wf::host {

struct HostState;
class Plugin;

/// An operation on the whole host ("scan", "load", "state"): takes the parsed
/// request and returns the reply's "result", or throws an exception whose
/// what() becomes the reply's "error". Main thread.
using ChainOperation = std::function<nlohmann::json(const nlohmann::json& request, HostState&)>;

/// An operation on one insert, selected by the request's "index" after the
/// dispatcher has checked it ("parameters", "parameter", "bypass", "editor",
/// "editor-dock"). Same contract as ChainOperation. Main thread.
using InsertOperation =
    std::function<nlohmann::json(const nlohmann::json& request, Plugin& insert, HostState&)>;

/// A command whose reply comes later, such as a scan that runs in a child
/// process. The main loop keeps pumping user-interface events while it is
/// pending, takes no other command, and polls it whenever one of its
/// descriptors is readable or its time limit has come. Main thread.
class PendingCommand {
 public:
  virtual ~PendingCommand();
  /// Descriptors whose readiness may let the command progress.
  virtual std::vector<int> watchedFds() const = 0;
  /// How long the loop may sleep before polling again without any readiness;
  /// none for no limit.
  virtual std::optional<std::chrono::nanoseconds> pollWithin() const = 0;
  /// Does what can be done without waiting. Returns the "result" once the
  /// command is done, or throws an exception whose what() becomes "error";
  /// none while it is still running.
  virtual std::optional<nlohmann::json> poll() = 0;
};

/// An operation on the whole host whose reply may come later ("scan"):
/// returns the pending command (which may already be done), or throws like a
/// ChainOperation. Main thread.
using DeferredOperation =
    std::function<std::unique_ptr<PendingCommand>(const nlohmann::json& request, HostState&)>;

/// The main thread's table of operations by "op". Filled once at start-up by
/// registerOperations() (operations/register_operations.h), before the
/// threads start; read-only afterwards.
class Registry {
 public:
  void addChainOperation(const std::string& op, ChainOperation operation);
  void addInsertOperation(const std::string& op, InsertOperation operation);
  void addDeferredOperation(const std::string& op, DeferredOperation operation);

  /// The operation registered under `op`, or null.
  const ChainOperation* chainOperation(const std::string& op) const;
  const InsertOperation* insertOperation(const std::string& op) const;
  const DeferredOperation* deferredOperation(const std::string& op) const;

 private:
  std::map<std::string, ChainOperation, std::less<>> chainOperations_;
  std::map<std::string, InsertOperation, std::less<>> insertOperations_;
  std::map<std::string, DeferredOperation, std::less<>> deferredOperations_;
};

}  // namespace wf::host
