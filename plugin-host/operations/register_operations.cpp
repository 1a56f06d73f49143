#include "operations/register_operations.h"

#include "editor/editor_ops.h"
#include "state_ops.h"

namespace wf::host {

void registerOperations(Registry& registry) {
  registerScan(registry);
  registerLoad(registry);
  registerStateOperations(registry);
  registerEditorOperations(registry);
}

}  // namespace wf::host
