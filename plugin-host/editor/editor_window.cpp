#include "editor/editor_window.h"

#include "insert/plugin.h"
#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace wf::editor {

using namespace Steinberg;

namespace {

constexpr const char* NO_EDITOR = "No compatible Cocoa editor; use parameter controls";
constexpr const char* ATTACH_FAILED = "Cocoa editor attachment failed";

void focus(host::Plugin& insert, bool on) {
  if (insert.view) {
    insert.view->onFocus(on ? 1 : 0);
  }
}

// Undoes a half-made editor, so that the next request starts afresh instead
// of showing an empty window.
void discardEditor(host::Plugin& insert) {
  if (insert.view) {
    insert.view->setFrame(nullptr);
  }
  insert.view = nullptr;
  if (insert.frame.window) {
    insert.frame.window->hide();
    insert.frame.window->close();
    insert.frame.window.reset();
  }
  insert.frame.runLoop = nullptr;
}

}  // namespace

PluginWindow::PluginWindow(Desktop& desktop, std::unique_ptr<Window> window)
    : desktop_(desktop), window_(std::move(window)) {
  desktop_.add(&runLoop_);
}

PluginWindow::~PluginWindow() {
  close();
}

void PluginWindow::setContentSize(int32 width, int32 height) {
  if (window_) {
    window_->setContentSize(width, height);
  }
}

void PluginWindow::hide() {
  if (window_) {
    window_->hide();
  }
}

void PluginWindow::close() {
  runLoop_.clear();
  desktop_.remove(&runLoop_);
  window_.reset();
}

void PluginWindow::show() {
  if (window_) {
    window_->show();
  }
}

bool PluginWindow::isVisible() const {
  return window_ && window_->isVisible();
}

void* PluginWindow::nativeHandle() const {
  return window_ ? window_->nativeHandle() : nullptr;
}

Desktop& sharedDesktop() {
  static Desktop desktop;
  return desktop;
}

std::string windowTitle(const nlohmann::json& descriptor) {
  std::string name = "VST3 Effect";
  if (descriptor.is_object()) {
    auto found = descriptor.find("name");
    if (found != descriptor.end() && found->is_string()) {
      name = found->get<std::string>();
    }
  }
  return "Wrenfield \u2014 " + name;
}

void showEditor(host::Plugin& insert, Desktop& desktop) {
  if (auto* window = insert.frame.window.get()) {
    window->show();
    focus(insert, true);
    return;
  }
  Display* display = desktop.display();
  if (display == nullptr || !display->connected() || !insert.controller) {
    throw host::PluginError(NO_EDITOR);
  }
  insert.view = owned(insert.controller->createView(Vst::ViewType::kEditor));
  if (!insert.view ||
      insert.view->isPlatformTypeSupported(display->platformType()) != kResultTrue) {
    insert.view = nullptr;
    throw host::PluginError(NO_EDITOR);
  }
  auto window = std::make_unique<PluginWindow>(
      desktop, display->createWindow(windowTitle(insert.descriptor), insert.frame.width,
                                     insert.frame.height));
  PluginWindow& editor = *window;
  insert.frame.window = std::move(window);
  insert.frame.runLoop = &editor.runLoop();
  insert.view->setFrame(&insert.frame);
  if (insert.view->attached(editor.nativeHandle(), display->platformType()) != kResultOk) {
    discardEditor(insert);
    throw host::PluginError(ATTACH_FAILED);
  }
  ViewRect rect{};
  insert.view->getSize(&rect);
  insert.frame.width = rect.right - rect.left;
  insert.frame.height = rect.bottom - rect.top;
  editor.setContentSize(insert.frame.width, insert.frame.height);
  insert.view->onSize(&rect);
  editor.show();
  focus(insert, true);
}

nlohmann::json dockEditor(host::Plugin& insert, Desktop& desktop, const nlohmann::json& request) {
  bool hide = request.value("hide", false);
  auto* window = insert.frame.window.get();
  if (hide) {
    if (window) {
      focus(insert, false);
      window->hide();
    }
    return true;
  }
  if (!window || !window->isVisible()) {
    showEditor(insert, desktop);
  }
  return {{"docked", false},
          {"height", insert.frame.height},
          {"nativeWindow", true},
          {"width", insert.frame.width}};
}

}  // namespace wf::editor
