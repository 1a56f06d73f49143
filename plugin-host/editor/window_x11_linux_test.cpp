// GoogleTest goes first: Xlib's macros (None, Bool, Status) clash with it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <cstdint>
#include <cstdlib>

#include "editor/window.h"
#include "testing/x11_observer.h"
#include "testing/xvfb.h"

namespace wf::editor {
namespace {

// A second client that looks at our windows the way a window manager or a
// desktop tool would.
class X11WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready());
    observer = wf::testing::openObserver(server);
    ASSERT_NE(nullptr, observer);
  }
  void TearDown() override {
    if (observer)
      XCloseDisplay(observer);
  }

  static ::Window idOf(const Window& w) {
    return static_cast<::Window>(reinterpret_cast<std::uintptr_t>(w.nativeHandle()));
  }
  XWindowAttributes attributes(::Window id) {
    XSync(observer, False);
    XWindowAttributes a{};
    XGetWindowAttributes(observer, id, &a);
    return a;
  }
  std::string utf8Property(::Window id, const char* name) {
    Atom type = XInternAtom(observer, "UTF8_STRING", False);
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(observer, id, XInternAtom(observer, name, False), 0, 1024, False, type,
                       &actual, &format, &count, &after, &data);
    std::string text(data ? reinterpret_cast<char*>(data) : "", count);
    if (data)
      XFree(data);
    return text;
  }

  testing::Xvfb server;
  ::Display* observer = nullptr;
};

TEST(OpenDisplayTest, NoDisplayToOpenGivesNone) {
  for (const char* value : {"", ":9876"}) {
    ::setenv("DISPLAY", value, 1);
    EXPECT_EQ(nullptr, openDisplay()) << value;
  }
  ::unsetenv("DISPLAY");
  EXPECT_EQ(nullptr, openDisplay());
}

TEST_F(X11WindowTest, NewWindowIsHiddenCentredTitledAndFixedInSize) {
  auto display = openDisplay();
  ASSERT_NE(nullptr, display);
  auto window = display->createWindow("Wrenfield \u2014 Gain", 800, 600);
  ::Window id = idOf(*window);
  auto a = attributes(id);
  EXPECT_EQ(IsUnmapped, a.map_state);
  EXPECT_EQ(800, a.width);
  EXPECT_EQ(600, a.height);
  EXPECT_EQ((1280 - 800) / 2, a.x);
  EXPECT_EQ((1024 - 600) / 2, a.y);
  EXPECT_EQ("Wrenfield \u2014 Gain", utf8Property(id, "_NET_WM_NAME"));
  EXPECT_FALSE(window->isVisible());

  XSizeHints hints{};
  long supplied;
  ASSERT_TRUE(XGetWMNormalHints(observer, id, &hints, &supplied));
  EXPECT_EQ(hints.min_width, hints.max_width);
  EXPECT_EQ(hints.min_height, hints.max_height);
  EXPECT_EQ(800, hints.max_width);

  Atom* protocols = nullptr;
  int count = 0;
  ASSERT_TRUE(XGetWMProtocols(observer, id, &protocols, &count));
  ASSERT_EQ(1, count);
  EXPECT_EQ(XInternAtom(observer, "WM_DELETE_WINDOW", False), protocols[0]);
  XFree(protocols);
}

TEST_F(X11WindowTest, ShowHideAndResize) {
  auto display = openDisplay();
  ASSERT_NE(nullptr, display);
  auto window = display->createWindow("t", 800, 600);
  ::Window id = idOf(*window);
  window->show();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(IsViewable, attributes(id).map_state);
  window->setContentSize(640, 480);
  auto a = attributes(id);
  EXPECT_EQ(640, a.width);
  EXPECT_EQ(480, a.height);
  XSizeHints hints{};
  long supplied;
  XGetWMNormalHints(observer, id, &hints, &supplied);
  EXPECT_EQ(640, hints.min_width);
  EXPECT_EQ(480, hints.max_height);
  window->hide();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(IsUnmapped, attributes(id).map_state);
}

TEST_F(X11WindowTest, CloseRequestFromTheWindowManagerOnlyHides) {
  auto display = openDisplay();
  ASSERT_NE(nullptr, display);
  auto window = display->createWindow("t", 300, 200);
  ::Window id = idOf(*window);
  window->show();
  wf::testing::requestClose(observer, id);
  for (int i = 0; i < 1000 && window->isVisible(); ++i) {
    pollfd p{display->eventFd(), POLLIN, 0};
    ::poll(&p, 1, 10);
    display->dispatchPending();
  }
  EXPECT_FALSE(window->isVisible());
  auto a = attributes(id);
  EXPECT_EQ(IsUnmapped, a.map_state);
  EXPECT_EQ(300, a.width);  // the window still exists
  window->show();
  EXPECT_EQ(IsViewable, attributes(id).map_state);
}

TEST_F(X11WindowTest, DestroyingTheWindowRemovesIt) {
  auto display = openDisplay();
  ASSERT_NE(nullptr, display);
  auto window = display->createWindow("t", 300, 200);
  ::Window id = idOf(*window);
  window.reset();
  XSync(observer, False);
  XWindowAttributes a{};
  EXPECT_EQ(0, XGetWindowAttributes(observer, id, &a));
}

}  // namespace
}  // namespace wf::editor
