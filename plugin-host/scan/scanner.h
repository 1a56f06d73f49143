#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "channel/registry.h"
#include "scan/scan_child.h"

namespace wf::host {

/// "scan" without the module's code in our process: each scan runs in a
/// scanner child, which loads the module and sends back its audio classes or
/// the loader's error. A child that crashes, exits early or hangs past the
/// time limit costs the scan, never the host. Successful scans are kept in
/// memory by path; a repeated scan of a module whose binary is unchanged
/// (same stamp) answers from there without a child.
///
/// Main thread only.
class Scanner {
 public:
  static constexpr std::chrono::seconds TIME_LIMIT{20};

  explicit Scanner(std::unique_ptr<ScanPlatform> platform);

  /// Starts the scan of the request's "path" (a string; the JSON library's
  /// text otherwise). The command's result is the array of class records,
  /// each with the request's "path" copied in. Throws when no child can be
  /// started.
  std::unique_ptr<PendingCommand> start(const nlohmann::json& request);

  /// The scanner child's one message for a finished scan: {"classes": [...]}
  /// with records without "path", or {"error": text}.
  static std::string message(const nlohmann::json& classesOrError);

 private:
  friend class PendingScan;
  struct Entry {
    ModuleStamp stamp;
    nlohmann::json classes;
  };

  std::unique_ptr<ScanPlatform> platform_;
  std::map<std::string, Entry, std::less<>> cache_;
};

/// The records as "scan" answers them: `classes` with "path" set to `path`.
nlohmann::json withPath(const nlohmann::json& classes, const nlohmann::json& path);

/// "Plug-in crashed while scanning (SIGSEGV)" and the like.
std::string crashText(int signal);

}  // namespace wf::host
