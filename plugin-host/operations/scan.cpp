#include "operations/register_operations.h"
#include "scan/scanner.h"

namespace wf::host {

void registerScan(Registry& registry) {
  // One scanner, and so one cache, for the life of the registry.
  auto scanner = std::make_shared<Scanner>(makeScanPlatform());
  registry.addDeferredOperation("scan", [scanner](const nlohmann::json& request, HostState&) {
    return scanner->start(request);
  });
}

}  // namespace wf::host
