#include "operations/register_operations.h"

#include "operations/state.h"

namespace wf::host {

void registerOperations(Registry& registry) {
  registerScan(registry);
  registerLoad(registry);
  registerStateOperations(registry);
}

}  // namespace wf::host
