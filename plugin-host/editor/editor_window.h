#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "editor/desktop.h"
#include "editor/run_loop.h"
#include "editor/window.h"
#include "insert/frame.h"

namespace wf::host {
class Plugin;
}

namespace wf::editor {

/// The window an insert's editor lives in, as the insert's `Frame` holds it:
/// a desktop window plus the run loop its view uses, serviced by the
/// desktop's pump from creation until `close`.
class PluginWindow final : public host::EditorWindow {
 public:
  PluginWindow(Desktop& desktop, std::unique_ptr<Window> window);
  ~PluginWindow() override;

  void setContentSize(Steinberg::int32 width, Steinberg::int32 height) override;
  void show() override;
  void hide() override;
  bool isVisible() const override;
  void* nativeHandle() const override;
  /// Drops the run loop's handlers and destroys the window. Idempotent.
  void close() override;

  RunLoop& runLoop() { return runLoop_; }

 private:
  Desktop& desktop_;
  std::unique_ptr<Window> window_;
  RunLoop runLoop_;
};

/// The process's desktop, the counterpart of a toolkit's application object:
/// editors make their windows on it and the main loop's pump services it.
Desktop& sharedDesktop();

/// The title of an insert's editor window: "Wrenfield — " and the
/// descriptor's "name", or "VST3 Effect" when it has none.
std::string windowTitle(const nlohmann::json& descriptor);

/// Shows the insert's editor on `desktop`, creating window and view on first
/// use. Throws host::PluginError with the reply's text when there is no
/// display, no editor view for the display's platform type, or the view
/// refuses to attach.
void showEditor(host::Plugin& insert, Desktop& desktop);

/// "editor-dock": with "hide" true hides the editor (if any) and answers true;
/// otherwise shows it if it is not visible and answers its size.
nlohmann::json dockEditor(host::Plugin& insert, Desktop& desktop, const nlohmann::json& request);

}  // namespace wf::editor
