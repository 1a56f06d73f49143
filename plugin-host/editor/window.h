#pragma once

#include <memory>
#include <string>

namespace wf::editor {

/// One top-level editor window of ours. It is titled, closable and
/// minimisable but cannot be resized by the user; the close button only hides
/// it, so a view embedded in it stays attached. Destroying the object
/// destroys the native window. Main thread only.
class Window {
 public:
  virtual ~Window() = default;

  /// The native handle a plug-in's view embeds into, as its display's
  /// platform type expects it.
  virtual void* nativeHandle() const = 0;
  /// Sets the size of the content area (the window is not user-resizable, so
  /// this also fixes its minimum and maximum size).
  virtual void setContentSize(int width, int height) = 0;
  /// Shows the window on top and gives it the keyboard focus.
  virtual void show() = 0;
  /// Hides the window; it keeps its content.
  virtual void hide() = 0;
  /// True while shown: after `show`, until `hide` or the user closing it.
  virtual bool isVisible() const = 0;
};

/// A connection to the desktop's window system: makes editor windows and
/// delivers their events. Windows must be destroyed before their display.
class Display {
 public:
  virtual ~Display() = default;

  /// Makes a hidden window with the given title and content size, centred on
  /// its screen.
  virtual std::unique_ptr<Window> createWindow(const std::string& title, int width, int height) = 0;
  /// Handles every pending window-system event without waiting (a close
  /// request from the window manager hides its window).
  virtual void dispatchPending() = 0;
  /// A descriptor that becomes readable when events arrive, or -1.
  virtual int eventFd() const = 0;
  /// The editor-view platform type its windows' handles are for
  /// (`Steinberg::IPlugView::attached`).
  virtual const char* platformType() const = 0;
  /// False once the connection to the window system is lost (the server went
  /// away): existing windows then do nothing and no new editor can open.
  virtual bool connected() const = 0;
};

/// Opens the default display of the session (DISPLAY on X11); null when there
/// is none to open.
std::unique_ptr<Display> openDisplay();

}  // namespace wf::editor
