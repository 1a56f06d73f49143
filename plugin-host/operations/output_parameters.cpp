#include "operations/output_parameters.h"

namespace wf::host {

void deliverOutputParameters(HostState& host) {
  // The main thread is the only one that changes the chain, so it reads it
  // without the chain lock.
  for (const auto& insert : host.chain) {
    if (!insert->controller) {
      continue;
    }
    insert->outputMailbox.take(
        [&](uint32_t id, double value) { insert->controller->setParamNormalized(id, value); });
  }
}

}  // namespace wf::host
