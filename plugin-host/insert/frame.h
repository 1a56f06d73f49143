#pragma once

#include <memory>

#include "pluginterfaces/gui/iplugview.h"

namespace wf::host {

/// A native window that shows one insert's editor. Made by the editor library
/// (plugin-host/editor/), which reaches it only through this interface; the
/// insert destroys it at teardown. All calls are made on the main thread.
class EditorWindow {
 public:
  virtual ~EditorWindow() = default;
  /// Resizes the window so that its content area is width x height.
  virtual void setContentSize(Steinberg::int32 width, Steinberg::int32 height) = 0;
  /// Shows the window on top with the keyboard focus.
  virtual void show() = 0;
  /// Hides the window; it and the attached view stay.
  virtual void hide() = 0;
  /// True while shown: after show(), until hide() or the user closing it.
  virtual bool isVisible() const = 0;
  /// The handle the editor view attaches to, in the display's platform type.
  virtual void* nativeHandle() const = 0;
  /// Closes the window for good (teardown, after hide()).
  virtual void close() = 0;
};

/// The plug frame an insert gives its editor view. Keeps the editor window
/// and its content size (800 x 600 until an editor reports its own), which
/// "editor-dock" reports. resizeView stores the new size, resizes the window
/// when there is one and passes the rectangle to the view's onSize, returning
/// what that returns.
///
/// queryInterface hands out IPlugFrame and FUnknown, and on Linux also the
/// run loop in `runLoop` when the editor code has set one (editors there
/// expect the frame to offer Linux::IRunLoop). Lives inside its insert and
/// counts no references; main thread only, no lock.
class Frame final : public Steinberg::IPlugFrame {
 public:
  Frame() = default;

  Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
  Steinberg::uint32 PLUGIN_API release() override { return 1; }

  Steinberg::tresult PLUGIN_API resizeView(Steinberg::IPlugView* view,
                                           Steinberg::ViewRect* newSize) override;

  /// The editor window; none until the editor is first opened.
  std::unique_ptr<EditorWindow> window;
  /// Content size of the editor window.
  Steinberg::int32 width = 800;
  Steinberg::int32 height = 600;
  /// A Linux::IRunLoop object offered to the editor view, or null. Not owned.
  Steinberg::FUnknown* runLoop = nullptr;
};

}  // namespace wf::host
