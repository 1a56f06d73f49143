#include "editor/editor_ops.h"

#include "editor/editor_window.h"
#include "insert/plugin.h"

namespace wf::host {

void Plugin::edit() {
  editor::showEditor(*this, editor::sharedDesktop());
}

nlohmann::json Plugin::dock(const nlohmann::json& request) {
  return editor::dockEditor(*this, editor::sharedDesktop(), request);
}

void registerEditorOperations(Registry& registry) {
  registry.addInsertOperation("editor", [](const nlohmann::json&, Plugin& insert, HostState&) {
    insert.edit();
    return nlohmann::json(true);
  });
  registry.addInsertOperation("editor-dock", [](const nlohmann::json& request, Plugin& insert,
                                                HostState&) { return insert.dock(request); });
}

}  // namespace wf::host
