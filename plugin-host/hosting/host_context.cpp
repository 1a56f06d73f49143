#include "hosting/host_context.h"

#include <atomic>

namespace wf::hosting {

namespace {
std::atomic<Steinberg::FUnknown*> context{nullptr};
}

void setHostContext(Steinberg::FUnknown* value) {
  context.store(value);
}

Steinberg::FUnknown* hostContext() {
  return context.load();
}

}  // namespace wf::hosting
