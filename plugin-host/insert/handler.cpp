#include "insert/handler.h"

namespace wf::host {

using namespace Steinberg;
using namespace Steinberg::Vst;

Handler::Handler(std::recursive_mutex& lock) : insertLock(lock) {}

tresult PLUGIN_API Handler::queryInterface(const TUID iid, void** obj) {
  if (FUnknownPrivate::iidEqual(iid, IComponentHandler::iid) ||
      FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
    *obj = this;
    return kResultOk;
  }
  *obj = nullptr;
  return kNoInterface;
}

tresult PLUGIN_API Handler::beginEdit(ParamID) {
  return kResultOk;
}

tresult PLUGIN_API Handler::performEdit(ParamID id, ParamValue value) {
  std::lock_guard<std::recursive_mutex> hold(insertLock);
  inputChanges.addPoint(id, 0, value);
  return kResultOk;
}

tresult PLUGIN_API Handler::endEdit(ParamID) {
  return kResultOk;
}

tresult PLUGIN_API Handler::restartComponent(int32 flags) {
  if ((flags & RESTART_MASK) != 0) {
    restartRequested.exchange(true);
  } else if ((flags & kLatencyChanged) != 0) {
    latencyChanged.exchange(true);
    if (wake) {
      wake();
    }
  }
  return kResultOk;
}

}  // namespace wf::host
