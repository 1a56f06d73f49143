// Plug-in editors in X11 windows, through the built plugin-host against a
// private Xvfb server; a second X11 client plays the window manager and
// inspects the windows. The editor probe plug-in is described in
// test-plugins/editor_probe.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "host_session.h"
#include "testing/wait_for.h"
#include "testing/x11_observer.h"
#include "testing/xvfb.h"

// Last: Xlib's macros (None, Bool, Status) clash with GoogleTest.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace wf::host::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int EDITOR = 0x52, STATE = 0x51;
constexpr int TICKS_ID = 1, RESIZE_ID = 2;
const std::string TITLE = "Wrenfield \u2014 Probe";
const char* NO_EDITOR = "No compatible Cocoa editor; use parameter controls";

json editorRequest(int index = 0) {
  return {{"op", "editor"}, {"index", index}};
}
json dockRequest(const json& extra = json::object()) {
  json request = {{"op", "editor-dock"}, {"index", 0}};
  request.update(extra);
  return request;
}
json docked(int width, int height) {
  return {{"docked", false}, {"height", height}, {"nativeWindow", true}, {"width", width}};
}

class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready());
    observer = wf::testing::openObserver(server);
    ASSERT_NE(nullptr, observer);
    host = std::make_unique<HostSession>();
  }
  void TearDown() override {
    host.reset();
    if (observer)
      XCloseDisplay(observer);
  }

  void loadProbe(const json& extra = {{"name", "Probe"}}) {
    host->result(loadRequest(json::array({insert("editor_probe", EDITOR, 1, extra)})));
  }

  std::string title(::Window id) {
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(observer, id, XInternAtom(observer, "_NET_WM_NAME", False), 0, 1024, False,
                       XInternAtom(observer, "UTF8_STRING", False), &actual, &format, &count,
                       &after, &data);
    std::string text(data ? reinterpret_cast<char*>(data) : "", count);
    if (data)
      XFree(data);
    return text;
  }

  // Top-level windows whose title starts with "Wrenfield".
  std::vector<::Window> editorWindows() {
    XSync(observer, False);
    ::Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(observer, DefaultRootWindow(observer), &root, &parent, &children, &count);
    std::vector<::Window> found;
    for (unsigned i = 0; i < count; ++i) {
      if (title(children[i]).rfind("Wrenfield", 0) == 0)
        found.push_back(children[i]);
    }
    if (children)
      XFree(children);
    return found;
  }

  ::Window onlyEditorWindow() {
    auto windows = editorWindows();
    EXPECT_EQ(1u, windows.size());
    return windows.empty() ? 0 : windows[0];
  }

  unsigned childrenOf(::Window id) {
    XSync(observer, False);
    ::Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(observer, id, &root, &parent, &children, &count);
    if (children)
      XFree(children);
    return count;
  }

  XWindowAttributes attributes(::Window id) {
    XSync(observer, False);
    XWindowAttributes a{};
    XGetWindowAttributes(observer, id, &a);
    return a;
  }

  double ticks() {
    for (const auto& p : host->result({{"op", "parameters"}, {"index", 0}})) {
      if (p["id"] == TICKS_ID)
        return p["value"].get<double>();
    }
    return -1;
  }

  wf::testing::Xvfb server;
  ::Display* observer = nullptr;
  std::unique_ptr<HostSession> host;
};

TEST_F(EditorTest, EditorOpensOneTitledWindowSizedToItsView) {
  loadProbe();
  EXPECT_EQ(json(true), host->result(editorRequest()));
  ::Window id = onlyEditorWindow();
  EXPECT_EQ(TITLE, title(id));
  auto a = attributes(id);
  EXPECT_EQ(IsViewable, a.map_state);
  EXPECT_EQ(400, a.width);
  EXPECT_EQ(300, a.height);
  EXPECT_EQ(1u, childrenOf(id));  // the plug-in's own window sits inside ours

  EXPECT_EQ(json(true), host->result(editorRequest()));
  EXPECT_EQ(id, onlyEditorWindow());
  EXPECT_EQ(0, host->finish().code);
}

TEST_F(EditorTest, WindowOfAnInsertWithoutNameIsTitledVst3Effect) {
  loadProbe(json::object());
  host->result(editorRequest());
  EXPECT_EQ("Wrenfield \u2014 VST3 Effect", title(onlyEditorWindow()));
}

TEST_F(EditorTest, DockHideBeforeAnyEditorOpensNothingAndDockShowOpensIt) {
  loadProbe();
  EXPECT_EQ(json(true), host->result(dockRequest({{"hide", true}})));
  EXPECT_TRUE(editorWindows().empty());
  EXPECT_EQ(docked(400, 300), host->result(dockRequest()));
  EXPECT_EQ(IsViewable, attributes(onlyEditorWindow()).map_state);
}

TEST_F(EditorTest, DockHideHidesAndDockShowsTheSameWindowAgain) {
  loadProbe();
  host->result(editorRequest());
  ::Window id = onlyEditorWindow();
  EXPECT_EQ(json(true), host->result(dockRequest({{"hide", true}})));
  EXPECT_EQ(IsUnmapped, attributes(id).map_state);
  EXPECT_EQ(docked(400, 300), host->result(dockRequest({{"hide", false}})));
  EXPECT_EQ(IsViewable, attributes(id).map_state);
  EXPECT_EQ(id, onlyEditorWindow());
}

TEST_F(EditorTest, ClosingThroughTheWindowManagerHidesAndDockShowsItAgain) {
  loadProbe();
  host->result(editorRequest());
  ::Window id = onlyEditorWindow();
  wf::testing::requestClose(observer, id);
  wf::testing::waitFor([&] { return attributes(id).map_state == IsUnmapped; }, 30s,
                       "the closed editor window to be unmapped");
  EXPECT_EQ(1u, childrenOf(id));  // the view stays attached while hidden
  EXPECT_EQ(docked(400, 300), host->result(dockRequest()));
  EXPECT_EQ(IsViewable, attributes(id).map_state);
  EXPECT_EQ(id, onlyEditorWindow());
}

TEST_F(EditorTest, ResizeAskedByTheEditorIsReportedByTheNextDock) {
  loadProbe();
  host->result(editorRequest());
  host->result({{"op", "parameter"}, {"index", 0}, {"parameter", RESIZE_ID}, {"value", 1.0}});
  EXPECT_EQ(docked(640, 480), host->result(dockRequest()));
  auto a = attributes(onlyEditorWindow());
  EXPECT_EQ(640, a.width);
  EXPECT_EQ(480, a.height);
}

TEST_F(EditorTest, RunLoopTimerOfTheEditorFires) {
  loadProbe();
  EXPECT_EQ(0.0, ticks());
  host->result(editorRequest());
  double first = 0;
  wf::testing::waitFor([&] { return (first = ticks()) > 0; }, 30s, "the editor's first timer tick");
  wf::testing::waitFor([&] { return ticks() > first; }, 30s, "a further timer tick");
}

// The mono probe runs as two instances; the edits its editor makes (the
// ticks) must reach the right channel's processor as well as the left's.
TEST_F(EditorTest, AnEditInAMonoEffectsEditorReachesBothInstances) {
  host->result(loadRequest(json::array({insert("editor_probe", EDITOR, 3)})));
  host->result(editorRequest());
  std::vector<float> out;
  EXPECT_TRUE(wf::testing::waitFor(
      [&] {
        out = samplesOf(host->result(processRequest(std::vector<float>(2048, 0.0f))));
        return out.at(0) > 0 && out.at(1) > 0;
      },
      30s, "edits of the editor in both channels"));
  for (size_t k = 0; k < out.size(); k += 2) {
    ASSERT_EQ(out[0], out[k]) << k;
    ASSERT_EQ(out[0], out[k + 1]) << k;
  }
}

TEST_F(EditorTest, LoadingANewChainClosesTheOldWindows) {
  host->result(loadRequest(json::array({insert("editor_probe", EDITOR, 1, {{"name", "Probe"}}),
                                        insert("editor_probe", EDITOR, 1, {{"name", "Second"}})})));
  host->result(editorRequest(0));
  host->result(editorRequest(1));
  EXPECT_EQ(2u, editorWindows().size());
  loadProbe();
  EXPECT_TRUE(editorWindows().empty());
}

TEST_F(EditorTest, PluginWithoutAnEditorViewGetsTheFallbackText) {
  host->result(loadRequest(json::array({insert("state_probe", STATE, 1)})));
  EXPECT_EQ(NO_EDITOR, host->error(editorRequest()));
  EXPECT_EQ(NO_EDITOR, host->error(dockRequest()));
  EXPECT_TRUE(editorWindows().empty());
}

TEST_F(EditorTest, HostKeepsWorkingWhenTheXServerGoesAway) {
  loadProbe();
  host->result(editorRequest());
  wf::testing::waitFor([&] { return ticks() > 0; }, 30s, "the editor's timer to tick");
  XCloseDisplay(observer);
  observer = nullptr;
  server.stop();
  // The pump notices on its next turns; every operation keeps being answered.
  auto in = ramp(1024);
  EXPECT_EQ(in, samplesOf(host->result(processRequest(in))));
  EXPECT_EQ(2u, host->result({{"op", "parameters"}, {"index", 0}}).size());
  EXPECT_EQ(json(true), host->result(dockRequest({{"hide", true}})));
  // A new chain drops the old editor; no new one can open without a server.
  loadProbe();
  EXPECT_EQ(NO_EDITOR, host->error(editorRequest()));
  EXPECT_EQ(1u, host->result({{"op", "state"}}).size());
  EXPECT_EQ(0, host->finish().code);
}

// Without a display to open, editors fail with the fallback text and every
// other operation keeps working.
TEST(EditorWithoutDisplayTest, EditorFailsAndEverythingElseWorks) {
  for (const char* display : {"", ":9876"}) {
    if (*display) {
      ::setenv("DISPLAY", display, 1);
    } else {
      ::unsetenv("DISPLAY");
    }
    HostSession host;
    host.result(loadRequest(json::array({insert("editor_probe", EDITOR, 1)})));
    EXPECT_EQ(NO_EDITOR, host.error(editorRequest())) << display;
    EXPECT_EQ(NO_EDITOR, host.error(dockRequest())) << display;
    EXPECT_EQ(json(true), host.result(dockRequest({{"hide", true}})));
    EXPECT_EQ(2u, host.result({{"op", "parameters"}, {"index", 0}}).size());
    EXPECT_EQ(1u, host.result({{"op", "state"}}).size());
    auto in = ramp(1024);
    EXPECT_EQ(in, samplesOf(host.result(processRequest(in))));
    EXPECT_EQ(0, host.finish().code);
  }
}

}  // namespace
}  // namespace wf::host::testing
