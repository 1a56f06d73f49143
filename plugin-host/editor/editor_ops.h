#pragma once

#include "channel/registry.h"

namespace wf::editor {

/// "editor" and "editor-dock": each insert's plug-in editor in a window of
/// its own, on the process's desktop.
void registerEditorOperations(host::Registry& registry);

}  // namespace wf::editor
