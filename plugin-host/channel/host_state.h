#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "insert/plugin.h"

namespace wf::host {

/// The inserts in processing order; at most eight.
using Chain = std::vector<std::unique_ptr<Plugin>>;

/// What the operations share: the active chain and the chain lock.
///
/// The chain is changed only on the main thread ("load"), which swaps a new
/// list in while holding `chainLock`; the main thread reads it without the
/// lock. The audio worker holds `chainLock` for the whole of one "process"
/// request.
struct HostState {
  Chain chain;
  std::mutex chainLock;
  /// Wakes the main loop from any thread (set by the process skeleton; empty
  /// in tests that have no loop).
  std::function<void()> wakeMain;
};

}  // namespace wf::host
