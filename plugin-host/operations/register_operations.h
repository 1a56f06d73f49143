#pragma once

#include "channel/registry.h"

namespace wf::host {

/// Fills the registry with every operation of the core that the main thread
/// serves. Each group of operations brings its own register function; this is
/// the one place that calls them all. The editor library registers its own
/// operations (editor/editor_ops.h).
void registerOperations(Registry& registry);

/// "scan" (operations/scan.cpp).
void registerScan(Registry& registry);
/// "load" (operations/load.cpp).
void registerLoad(Registry& registry);

}  // namespace wf::host
