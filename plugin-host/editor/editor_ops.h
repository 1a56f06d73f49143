#pragma once

#include "channel/registry.h"

namespace wf::host {

/// "editor" and "editor-dock": each insert's plug-in editor in a window of
/// its own.
void registerEditorOperations(Registry& registry);

}  // namespace wf::host
