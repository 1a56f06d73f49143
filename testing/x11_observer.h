#pragma once

#include <X11/Xlib.h>
#include <stdlib.h>

#include "testing/xvfb.h"

namespace wf::testing {

/// Points this process's DISPLAY at `server` (so the program under test opens
/// its windows there) and opens a second client that looks at those windows
/// the way a window manager would. Xlib's default error handler would exit on
/// an error (say, asking about a window a failed step never made) and leave
/// the server behind, so errors are ignored: tests look at the calls' results.
/// Returns null when the display cannot be opened. Link X11 to use it.
inline ::Display* openObserver(const Xvfb& server) {
  ::setenv("DISPLAY", server.display().c_str(), 1);
  ::Display* observer = XOpenDisplay(server.display().c_str());
  XSetErrorHandler([](::Display*, XErrorEvent*) { return 0; });
  return observer;
}

/// Asks `window` to close as a window manager's close button does: a
/// WM_DELETE_WINDOW message under WM_PROTOCOLS.
inline void requestClose(::Display* observer, ::Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(observer, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(observer, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(observer, window, False, NoEventMask, &event);
  XFlush(observer);
}

}  // namespace wf::testing
