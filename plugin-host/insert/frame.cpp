#include "insert/frame.h"

namespace wf::host {

using namespace Steinberg;

tresult PLUGIN_API Frame::queryInterface(const TUID iid, void** obj) {
  if (FUnknownPrivate::iidEqual(iid, IPlugFrame::iid) ||
      FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
    *obj = this;
    return kResultOk;
  }
  if (runLoop != nullptr && FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid)) {
    // The run loop is the editor code's object; hand out a counted reference.
    return runLoop->queryInterface(iid, obj);
  }
  *obj = nullptr;
  return kNoInterface;
}

tresult PLUGIN_API Frame::resizeView(IPlugView* view, ViewRect* newSize) {
  if (view == nullptr || newSize == nullptr) {
    return kInvalidArgument;
  }
  width = newSize->right - newSize->left;
  height = newSize->bottom - newSize->top;
  if (window) {
    window->setContentSize(width, height);
  }
  return view->onSize(newSize);
}

}  // namespace wf::host
