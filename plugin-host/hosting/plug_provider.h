#pragma once

#include <memory>

#include "hosting/factory.h"
#include "hosting/module.h"
#include "pluginterfaces/base/smartpointer.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstmessage.h"

namespace wf::hosting {

/// Creates one plug-in class's component and its edit controller, initialises
/// both with the host context and connects them; the destructor disconnects
/// and terminates them in reverse order. The edit controller is the component
/// itself when the component implements IEditController, else the class the
/// component names with getControllerClassId. Failures are described on
/// standard error, the hosting library's diagnostic stream.
class PlugProvider {
 public:
  PlugProvider(std::shared_ptr<Module> module, const ClassInfo& info);
  ~PlugProvider();
  PlugProvider(const PlugProvider&) = delete;
  PlugProvider& operator=(const PlugProvider&) = delete;

  /// True when the component was created and initialised, and a controller, if
  /// the component names one, was created and initialised too. A component
  /// without any controller still succeeds: controller() is then null.
  bool initialize();

  Steinberg::IPtr<Steinberg::Vst::IComponent> component() const { return component_; }
  Steinberg::IPtr<Steinberg::Vst::IEditController> controller() const { return controller_; }

 private:
  void connect();
  void disconnect();

  std::shared_ptr<Module> module_;
  ClassInfo info_;
  Steinberg::IPtr<Steinberg::Vst::IComponent> component_;
  Steinberg::IPtr<Steinberg::Vst::IEditController> controller_;
  Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> componentPoint_;
  Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> controllerPoint_;
  bool componentInitialized_ = false;
  bool controllerInitialized_ = false;
  bool separateController_ = false;
};

}  // namespace wf::hosting
