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

void offerHostContext(Steinberg::IPluginFactory* factory) {
  Steinberg::IPluginFactory3* factory3 = nullptr;
  if (factory->queryInterface(Steinberg::IPluginFactory3::iid,
                              reinterpret_cast<void**>(&factory3)) == Steinberg::kResultOk &&
      factory3 != nullptr) {
    factory3->setHostContext(hostContext());
    factory3->release();
  }
}

}  // namespace wf::hosting
