#include "editor/editor_window.h"

#include <gtest/gtest.h>

#include <functional>

#include "editor/window_fake.h"
#include "insert/plugin.h"
#include "public.sdk/source/common/pluginview.h"
#include "public.sdk/source/vst/vsteditcontroller.h"

namespace wf::editor {
namespace {

using namespace Steinberg;

// A view that records the host's calls; hooks decide its answers.
class FakeView : public CPluginView {
 public:
  explicit FakeView(std::vector<std::string>& calls) : calls_(calls) {
    ViewRect r{0, 0, 400, 300};
    setRect(r);
  }
  tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
    calls_.push_back(std::string("supported ") + type);
    return supports ? kResultTrue : kResultFalse;
  }
  tresult PLUGIN_API attached(void* parent, FIDString type) override {
    calls_.push_back(std::string("attached ") + type);
    this->parent = parent;
    return attachResult;
  }
  tresult PLUGIN_API removed() override {
    calls_.push_back("removed");
    return CPluginView::removed();
  }
  tresult PLUGIN_API onSize(ViewRect* r) override {
    calls_.push_back("onSize " + std::to_string(r->getWidth()) + "x" +
                     std::to_string(r->getHeight()));
    return CPluginView::onSize(r);
  }
  tresult PLUGIN_API onFocus(TBool on) override {
    calls_.push_back(on ? "focus" : "blur");
    return kResultOk;
  }
  tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
    calls_.push_back(frame ? "setFrame" : "setFrame none");
    return CPluginView::setFrame(frame);
  }
  IPlugFrame* frame() const { return plugFrame; }

  bool supports = true;
  tresult attachResult = kResultOk;
  void* parent = nullptr;

 private:
  std::vector<std::string>& calls_;
};

class FakeController : public Vst::EditController {
 public:
  std::function<IPlugView*()> makeView;
  int viewsMade = 0;
  IPlugView* PLUGIN_API createView(FIDString) override {
    ++viewsMade;
    return makeView ? makeView() : nullptr;
  }
};

class EditorWindowTest : public ::testing::Test {
 protected:
  EditorWindowTest() {
    controller = new FakeController;
    controller->makeView = [this] {
      lastView = new FakeView(calls);
      configure(*lastView);
      return lastView;
    };
    insert.controller = owned(static_cast<Vst::IEditController*>(controller));
    insert.descriptor = {{"name", "Probe"}};
  }
  FakeWindowRecord& window(size_t n = 0) { return *shownDisplay().windows.at(n); }
  FakeDisplay& shownDisplay() { return *static_cast<FakeDisplay*>(desktop.display()); }

  // Declared before the insert, so the insert's teardown (which closes its
  // window and drops its run loop) runs while the desktop still exists.
  Desktop desktop{[] { return std::make_unique<FakeDisplay>(); }};
  std::vector<std::string> calls;
  FakeView* lastView = nullptr;
  std::function<void(FakeView&)> configure = [](FakeView&) {};
  FakeController* controller;
  host::Plugin insert;
};

TEST_F(EditorWindowTest, FirstShowMakesWindowAttachesViewAndSizesToIt) {
  showEditor(insert, desktop);
  ASSERT_EQ(1u, shownDisplay().windows.size());
  EXPECT_EQ("Wrenfield \u2014 Probe", window().title);
  EXPECT_EQ((std::vector<std::string>{"create", "size 400x300", "show"}), window().calls);
  EXPECT_EQ((std::vector<std::string>{"supported X11EmbedWindowID", "setFrame",
                                      "attached X11EmbedWindowID", "onSize 400x300", "focus"}),
            calls);
  EXPECT_EQ(&insert.frame, lastView->frame());
  EXPECT_EQ(400, insert.frame.width);
  EXPECT_EQ(300, insert.frame.height);
  ASSERT_NE(nullptr, insert.frame.runLoop);
  void* loop = nullptr;
  EXPECT_EQ(kResultOk, insert.frame.queryInterface(Linux::IRunLoop::iid, &loop));
  EXPECT_NE(nullptr, loop);
}

// The view is asked for, and attached with, the platform type of the display
// the window is on: nothing above the display names a window system.
TEST_F(EditorWindowTest, TheViewIsAttachedWithTheDisplaysPlatformType) {
  Desktop other([] {
    auto display = std::make_unique<FakeDisplay>();
    display->platform = "HWND";
    return display;
  });
  // Declared after its desktop, so it goes first.
  host::Plugin plugin;
  auto* ctl = new FakeController;
  ctl->makeView = [&] { return new FakeView(calls); };
  plugin.controller = owned(static_cast<Vst::IEditController*>(ctl));
  showEditor(plugin, other);
  EXPECT_EQ((std::vector<std::string>{"supported HWND", "setFrame", "attached HWND",
                                      "onSize 400x300", "focus"}),
            calls);
}

TEST_F(EditorWindowTest, WindowStartsAt800By600AndTitleFallsBackWithoutName) {
  insert.descriptor = {{"path", "x"}};
  configure = [](FakeView& v) { v.attachResult = kResultOk; };
  showEditor(insert, desktop);
  EXPECT_EQ("Wrenfield \u2014 VST3 Effect", window().title);
  EXPECT_EQ("create", window().calls.front());
  EXPECT_EQ(windowTitle(nlohmann::json::object()), "Wrenfield \u2014 VST3 Effect");
}

TEST_F(EditorWindowTest, SecondShowReusesTheWindowAndView) {
  showEditor(insert, desktop);
  window().visible = false;  // closed by the user
  showEditor(insert, desktop);
  EXPECT_EQ(1u, shownDisplay().windows.size());
  EXPECT_EQ(1, controller->viewsMade);
  EXPECT_EQ(2, window().shows);
  EXPECT_TRUE(window().visible);
}

TEST_F(EditorWindowTest, NoDisplayOrNoSuitableViewFailsWithTheFallbackText) {
  struct Case {
    const char* what;
    bool haveDisplay;
    bool makeView;
    bool supports;
  };
  for (auto c : {Case{"no display", false, true, true}, Case{"no view", true, false, true},
                 Case{"no X11 support", true, true, false}}) {
    std::vector<std::string> seen;
    Desktop local([&]() -> std::unique_ptr<Display> {
      if (!c.haveDisplay)
        return nullptr;
      return std::make_unique<FakeDisplay>();
    });
    host::Plugin plugin;
    auto* ctl = new FakeController;
    ctl->makeView = [&]() -> IPlugView* {
      if (!c.makeView)
        return nullptr;
      auto* v = new FakeView(seen);
      v->supports = c.supports;
      return v;
    };
    plugin.controller = owned(static_cast<Vst::IEditController*>(ctl));
    try {
      showEditor(plugin, local);
      ADD_FAILURE() << c.what;
    } catch (const host::PluginError& e) {
      EXPECT_STREQ("No compatible Cocoa editor; use parameter controls", e.what()) << c.what;
    }
    EXPECT_EQ(nullptr, plugin.frame.window) << c.what;
    EXPECT_FALSE(plugin.view) << c.what;
  }
}

TEST_F(EditorWindowTest, RefusedAttachmentFailsAndLeavesNothingBehind) {
  configure = [](FakeView& v) { v.attachResult = kResultFalse; };
  try {
    showEditor(insert, desktop);
    ADD_FAILURE();
  } catch (const host::PluginError& e) {
    EXPECT_STREQ("Cocoa editor attachment failed", e.what());
  }
  EXPECT_EQ(nullptr, insert.frame.window);
  EXPECT_FALSE(insert.view);
  EXPECT_TRUE(window().destroyed);
  EXPECT_EQ(nullptr, insert.frame.runLoop);
  // A later request starts afresh.
  configure = [](FakeView&) {};
  showEditor(insert, desktop);
  EXPECT_EQ(2u, shownDisplay().windows.size());
}

TEST_F(EditorWindowTest, DockHideBeforeAnyEditorOpensNothing) {
  EXPECT_EQ(nlohmann::json(true), dockEditor(insert, desktop, {{"hide", true}}));
  EXPECT_EQ(0, controller->viewsMade);
}

TEST_F(EditorWindowTest, DockShowsWhenHiddenAndReportsTheStoredSize) {
  nlohmann::json shown = {
      {"docked", false}, {"height", 300}, {"nativeWindow", true}, {"width", 400}};
  EXPECT_EQ(shown, dockEditor(insert, desktop, nlohmann::json::object()));
  EXPECT_EQ(1, window().shows);
  EXPECT_EQ(shown, dockEditor(insert, desktop, {{"hide", false}}));
  EXPECT_EQ(1, window().shows);  // visible already: not shown again
  EXPECT_EQ(nlohmann::json(true), dockEditor(insert, desktop, {{"hide", true}}));
  EXPECT_FALSE(window().visible);
  EXPECT_EQ("blur", calls.back());
  shownDisplay().closeByUser(0);
  EXPECT_EQ(shown, dockEditor(insert, desktop, nlohmann::json::object()));
  EXPECT_TRUE(window().visible);
  EXPECT_EQ(1u, shownDisplay().windows.size());
}

TEST_F(EditorWindowTest, DockWithNonBooleanHideFailsWithTheLibraryText) {
  EXPECT_THROW(dockEditor(insert, desktop, {{"hide", 1}}), nlohmann::json::type_error);
}

TEST_F(EditorWindowTest, ResizeFromTheViewResizesTheWindowAndIsReported) {
  showEditor(insert, desktop);
  ViewRect r{0, 0, 640, 480};
  EXPECT_EQ(kResultOk, lastView->frame()->resizeView(lastView, &r));
  EXPECT_EQ("size 640x480", window().calls.back());
  EXPECT_EQ("onSize 640x480", calls.back());
  auto reply = dockEditor(insert, desktop, nlohmann::json::object());
  EXPECT_EQ(640, reply["width"]);
  EXPECT_EQ(480, reply["height"]);
}

TEST_F(EditorWindowTest, TeardownRemovesViewThenClosesWindow) {
  {
    host::Plugin plugin;
    auto* ctl = new FakeController;
    ctl->makeView = [&] { return new FakeView(calls); };
    plugin.controller = owned(static_cast<Vst::IEditController*>(ctl));
    showEditor(plugin, desktop);
    calls.clear();
  }
  EXPECT_EQ((std::vector<std::string>{"removed", "setFrame none"}), calls);
  EXPECT_TRUE(window().destroyed);
  EXPECT_EQ("hide", window().calls.at(window().calls.size() - 2));
}

}  // namespace
}  // namespace wf::editor
