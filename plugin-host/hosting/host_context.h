#pragma once

#include "pluginterfaces/base/funknown.h"
#include "pluginterfaces/base/ipluginbase.h"

namespace wf::hosting {

/// The host context handed to every plug-in's `initialize`. The program sets it
/// once at start-up (a Steinberg::Vst::HostApplication) before any plug-in is
/// created; it is not reference-counted here and must outlive every plug-in.
void setHostContext(Steinberg::FUnknown* context);
Steinberg::FUnknown* hostContext();

/// Gives the host context to a factory that supports IPluginFactory3, before
/// any of its classes is created; other factories are left alone.
void offerHostContext(Steinberg::IPluginFactory* factory);

}  // namespace wf::hosting
