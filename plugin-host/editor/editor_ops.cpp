#include "editor/editor_ops.h"

#include "editor/editor_window.h"
#include "insert/plugin.h"

namespace wf::editor {

void registerEditorOperations(host::Registry& registry) {
  registry.addInsertOperation("editor",
                              [](const nlohmann::json&, host::Plugin& insert, host::HostState&) {
                                showEditor(insert, sharedDesktop());
                                return nlohmann::json(true);
                              });
  registry.addInsertOperation(
      "editor-dock", [](const nlohmann::json& request, host::Plugin& insert, host::HostState&) {
        return dockEditor(insert, sharedDesktop(), request);
      });
}

}  // namespace wf::editor
