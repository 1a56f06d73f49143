#pragma once

#include "pluginterfaces/base/funknown.h"

namespace wf::hosting {

/// The host context handed to every plug-in's `initialize`. The program sets it
/// once at start-up (a Steinberg::Vst::HostApplication) before any plug-in is
/// created; it is not reference-counted here and must outlive every plug-in.
void setHostContext(Steinberg::FUnknown* context);
Steinberg::FUnknown* hostContext();

}  // namespace wf::hosting
