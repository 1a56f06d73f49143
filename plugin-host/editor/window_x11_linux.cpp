// Editor windows on X11 through Xlib. One connection serves every window of
// the process; it is used on the main thread only.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "editor/error_lines.h"
#include "editor/window.h"
#include "pluginterfaces/gui/iplugview.h"

namespace wf::editor {

namespace {

// Xlib's default handler ends the process on any protocol error, which a
// plug-in's mistake (or a focus request racing an unmap) must not do. The
// handler is the process's, so it also sees the errors of a plug-in's own
// connection; each kind is reported once.
int reportXError(::Display* display, XErrorEvent* event) {
  static ErrorLines lines;
  if (!lines.firstOfItsKind(event->error_code, event->request_code)) {
    return 0;
  }
  char text[256];
  XGetErrorText(display, event->error_code, text, sizeof text);
  std::fprintf(stderr, "X11 error: %s (request %d)\n", text, event->request_code);
  return 0;
}

// Xlib's default reaction to a lost server connection is to end the process,
// which would take the audio chain with it. Report it instead; the display's
// exit handler below then marks the connection lost.
int reportLostConnection(::Display*) {
  std::fprintf(stderr, "X11 connection lost\n");
  return 0;
}

// The _MOTIF_WM_HINTS layout that window managers read for decorations.
struct MotifHints {
  unsigned long flags;
  unsigned long functions;
  unsigned long decorations;
  long inputMode;
  unsigned long status;
};
constexpr unsigned long MWM_HINTS_FUNCTIONS = 1, MWM_HINTS_DECORATIONS = 2;
constexpr unsigned long MWM_FUNC_MOVE = 4, MWM_FUNC_MINIMIZE = 8, MWM_FUNC_CLOSE = 32;
constexpr unsigned long MWM_DECOR_BORDER = 2, MWM_DECOR_TITLE = 8, MWM_DECOR_MENU = 16,
                        MWM_DECOR_MINIMIZE = 32;

class X11Display;

class X11Window final : public Window {
 public:
  X11Window(X11Display& owner, ::Window id) : owner_(owner), id_(id) {}
  ~X11Window() override;

  void* nativeHandle() const override {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id_));
  }
  void setContentSize(int width, int height) override;
  void show() override;
  void hide() override;
  bool isVisible() const override { return visible_; }

  void closeRequested() { hide(); }

 private:
  X11Display& owner_;
  ::Window id_;
  bool visible_ = false;
};

class X11Display final : public Display {
 public:
  explicit X11Display(::Display* display) : display_(display) {
    wmProtocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
    wmDeleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    netActiveWindow_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    motifHints_ = XInternAtom(display_, "_MOTIF_WM_HINTS", False);
    XSetIOErrorExitHandler(
        display_, [](::Display*, void* self) { static_cast<X11Display*>(self)->lost_ = true; },
        this);
  }
  ~X11Display() override { XCloseDisplay(display_); }

  std::unique_ptr<Window> createWindow(const std::string& title, int width, int height) override {
    int screen = DefaultScreen(display_);
    int x = (DisplayWidth(display_, screen) - width) / 2;
    int y = (DisplayHeight(display_, screen) - height) / 2;
    XSetWindowAttributes attributes{};
    attributes.background_pixel = BlackPixel(display_, screen);
    attributes.event_mask = StructureNotifyMask;
    ::Window id =
        XCreateWindow(display_, RootWindow(display_, screen), x, y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWBackPixel | CWEventMask, &attributes);
    setTitle(id, title);
    XSetWMProtocols(display_, id, &wmDeleteWindow_, 1);
    MotifHints hints{MWM_HINTS_FUNCTIONS | MWM_HINTS_DECORATIONS,
                     MWM_FUNC_MOVE | MWM_FUNC_MINIMIZE | MWM_FUNC_CLOSE,
                     MWM_DECOR_BORDER | MWM_DECOR_TITLE | MWM_DECOR_MENU | MWM_DECOR_MINIMIZE, 0,
                     0};
    XChangeProperty(display_, id, motifHints_, motifHints_, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&hints), 5);
    auto window = std::make_unique<X11Window>(*this, id);
    windows_[id] = window.get();
    setFixedSize(id, width, height, x, y);
    XSync(display_, False);
    return window;
  }

  void dispatchPending() override {
    while (!lost_ && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == ClientMessage && event.xclient.message_type == wmProtocols_ &&
          static_cast<Atom>(event.xclient.data.l[0]) == wmDeleteWindow_) {
        auto found = windows_.find(event.xclient.window);
        if (found != windows_.end()) {
          found->second->closeRequested();
        }
      }
    }
  }

  int eventFd() const override { return lost_ ? -1 : ConnectionNumber(display_); }
  bool connected() const override { return !lost_; }
  const char* platformType() const override { return Steinberg::kPlatformTypeX11EmbedWindowID; }

  // The title is UTF-8 (it holds an em dash); the EWMH names carry it as is,
  // and the legacy WM_NAME gets the same bytes typed UTF8_STRING.
  void setTitle(::Window id, const std::string& title) {
    Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    auto* bytes = reinterpret_cast<const unsigned char*>(title.data());
    int length = static_cast<int>(title.size());
    for (const char* name : {"_NET_WM_NAME", "_NET_WM_ICON_NAME", "WM_NAME", "WM_ICON_NAME"}) {
      XChangeProperty(display_, id, XInternAtom(display_, name, False), utf8, 8, PropModeReplace,
                      bytes, length);
    }
  }

  ::Display* native() const { return display_; }
  Atom netActiveWindow() const { return netActiveWindow_; }
  void forget(::Window id) { windows_.erase(id); }

  // Fixes the window's size for the window manager (minimum = maximum), with
  // the position kept where it was placed.
  void setFixedSize(::Window id, int width, int height, int x, int y) {
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = PMinSize | PMaxSize | PSize | (x >= 0 ? (PPosition | USPosition) : 0);
    hints->x = x;
    hints->y = y;
    hints->width = hints->min_width = hints->max_width = width;
    hints->height = hints->min_height = hints->max_height = height;
    XSetWMNormalHints(display_, id, hints);
    XFree(hints);
  }

 private:
  ::Display* display_;
  Atom wmProtocols_;
  Atom wmDeleteWindow_;
  Atom netActiveWindow_;
  Atom motifHints_;
  std::map<::Window, X11Window*> windows_;
  bool lost_ = false;
};

X11Window::~X11Window() {
  owner_.forget(id_);
  if (owner_.connected()) {
    XDestroyWindow(owner_.native(), id_);
    XSync(owner_.native(), False);
  }
}

void X11Window::setContentSize(int width, int height) {
  if (!owner_.connected()) {
    return;
  }
  // X11 has no empty windows; a view reporting no size gets the smallest.
  width = std::max(width, 1);
  height = std::max(height, 1);
  owner_.setFixedSize(id_, width, height, -1, -1);
  XResizeWindow(owner_.native(), id_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(owner_.native(), False);
}

void X11Window::show() {
  if (!owner_.connected()) {
    return;
  }
  ::Display* display = owner_.native();
  XMapRaised(display, id_);
  // Ask a window manager, if any, to activate the window; without one the
  // map above is all there is.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = id_;
  event.xclient.message_type = owner_.netActiveWindow();
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // source: a pager or similar tool acting for the user
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XSync(display, False);
  visible_ = true;
}

void X11Window::hide() {
  visible_ = false;
  if (!owner_.connected()) {
    return;
  }
  XUnmapWindow(owner_.native(), id_);
  XSync(owner_.native(), False);
}

}  // namespace

std::unique_ptr<Display> openDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    return nullptr;
  }
  ::Display* display = XOpenDisplay(name);
  if (display == nullptr) {
    return nullptr;
  }
  XSetErrorHandler(reportXError);
  XSetIOErrorHandler(reportLostConnection);
  return std::make_unique<X11Display>(display);
}

}  // namespace wf::editor
