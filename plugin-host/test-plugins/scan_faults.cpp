// Modules that fail while being scanned, each in one way (WF_SCAN_FAULT):
//   1 crashes when its factory is asked for (SIGSEGV);
//   2 never returns from its module entry;
//   3 calls exit(3) in its module entry.
// They export the VST3 entry points themselves and offer no class.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "pluginterfaces/base/ipluginbase.h"

#ifndef WF_SCAN_FAULT
#error "WF_SCAN_FAULT selects the fault"
#endif

extern "C" {

SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) {
  if (WF_SCAN_FAULT == 2) {
    for (;;) {
      ::pause();
    }
  }
  if (WF_SCAN_FAULT == 3) {
    std::exit(3);
  }
  return true;
}

SMTG_EXPORT_SYMBOL bool ModuleExit() {
  return true;
}

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
  // A sanitizer's handler would turn the crash into an orderly exit; a
  // plug-in that crashes in a user's host gets the default action.
  ::signal(SIGSEGV, SIG_DFL);
  ::raise(SIGSEGV);
  return nullptr;
}

}  // extern "C"
