#include "hosting/plug_provider.h"

#include <cstdio>

#include "hosting/host_context.h"
#include "hosting/uid.h"

namespace wf::hosting {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// Creates an instance of class `cid` with interface T from the factory.
template <typename T>
IPtr<T> createInstance(IPluginFactory* factory, const TUID cid) {
  void* object = nullptr;
  if (factory->createInstance(cid, T::iid, &object) != kResultOk || object == nullptr) {
    return nullptr;
  }
  return owned(static_cast<T*>(object));
}

void report(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace

PlugProvider::PlugProvider(std::shared_ptr<Module> module, const ClassInfo& info)
    : module_(std::move(module)), info_(info) {}

PlugProvider::~PlugProvider() {
  disconnect();
  if (controller_ && controllerInitialized_ && separateController_) {
    controller_->terminate();
  }
  controller_ = nullptr;
  if (component_ && componentInitialized_) {
    component_->terminate();
  }
  component_ = nullptr;
}

bool PlugProvider::initialize() {
  IPluginFactory* factory = module_->factory();
  component_ = createInstance<IComponent>(factory, info_.id);
  if (!component_) {
    report("Failed to create an instance of " + info_.name + " (" + info_.idString() + ")");
    return false;
  }
  if (component_->initialize(hostContext()) != kResultOk) {
    report("Failed to initialize the component of " + info_.name);
    return false;
  }
  componentInitialized_ = true;

  // A component that did not separate its controller is its own controller.
  IEditController* single = nullptr;
  if (component_->queryInterface(IEditController::iid, reinterpret_cast<void**>(&single)) ==
          kResultOk &&
      single != nullptr) {
    controller_ = owned(single);
    return true;
  }

  TUID controllerId{};
  if (component_->getControllerClassId(controllerId) != kResultOk) {
    return true;
  }
  controller_ = createInstance<IEditController>(factory, controllerId);
  if (!controller_) {
    report("Failed to create the edit controller of " + info_.name + " (" +
           uidToString(controllerId) + ")");
    return true;
  }
  separateController_ = true;
  if (controller_->initialize(hostContext()) != kResultOk) {
    report("Failed to initialize the edit controller of " + info_.name);
    controller_ = nullptr;
    return false;
  }
  controllerInitialized_ = true;
  connect();
  return true;
}

void PlugProvider::connect() {
  IConnectionPoint* componentPoint = nullptr;
  IConnectionPoint* controllerPoint = nullptr;
  component_->queryInterface(IConnectionPoint::iid, reinterpret_cast<void**>(&componentPoint));
  controller_->queryInterface(IConnectionPoint::iid, reinterpret_cast<void**>(&controllerPoint));
  componentPoint_ = owned(componentPoint);
  controllerPoint_ = owned(controllerPoint);
  if (componentPoint_ && controllerPoint_) {
    componentPoint_->connect(controllerPoint_);
    controllerPoint_->connect(componentPoint_);
  }
}

void PlugProvider::disconnect() {
  if (componentPoint_ && controllerPoint_) {
    componentPoint_->disconnect(controllerPoint_);
    controllerPoint_->disconnect(componentPoint_);
  }
  componentPoint_ = nullptr;
  controllerPoint_ = nullptr;
}

}  // namespace wf::hosting
