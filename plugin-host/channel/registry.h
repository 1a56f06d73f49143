#pragma once

#include <functional>
#include <map>
#include <string>

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

/// The main thread's table of operations by "op". Filled once at start-up by
/// registerOperations() (operations/register_operations.h), before the
/// threads start; read-only afterwards.
class Registry {
 public:
  void addChainOperation(const std::string& op, ChainOperation operation);
  void addInsertOperation(const std::string& op, InsertOperation operation);

  /// The operation registered under `op`, or null.
  const ChainOperation* chainOperation(const std::string& op) const;
  const InsertOperation* insertOperation(const std::string& op) const;

 private:
  std::map<std::string, ChainOperation, std::less<>> chainOperations_;
  std::map<std::string, InsertOperation, std::less<>> insertOperations_;
};

}  // namespace wf::host
