#include "insert/handler.h"

#include <gtest/gtest.h>

#include "insert/frame.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace wf::host {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

// A reload or an I/O change refuses blocks until the next load; a latency
// change alone is handed to the main thread instead, and wakes it.
TEST(Handler, ReloadAndIoChangesRequestARestartALatencyChangeWakesTheMainThread) {
  struct Case {
    int32 flags;
    bool restart;
    bool latency;
  };
  const Case cases[] = {
      {kLatencyChanged, false, true},
      {kReloadComponent, true, false},
      {kIoChanged, true, false},
      {kLatencyChanged | kReloadComponent, true, false},
      {kLatencyChanged | kIoChanged, true, false},
      {kLatencyChanged | kParamValuesChanged, false, true},
      {kParamValuesChanged, false, false},
      {kParamTitlesChanged | kNoteExpressionChanged, false, false},
      {kParamValuesChanged | kIoChanged, true, false},
      {0, false, false},
  };
  for (const Case& c : cases) {
    std::recursive_mutex lock;
    Handler handler(lock);
    int wakes = 0;
    handler.wake = [&] { ++wakes; };
    EXPECT_EQ(kResultOk, handler.restartComponent(c.flags));
    EXPECT_EQ(c.restart, handler.restartRequested.load()) << c.flags;
    EXPECT_EQ(c.latency, handler.latencyChanged.load()) << c.flags;
    EXPECT_EQ(c.latency ? 1 : 0, wakes) << c.flags;
  }
}

TEST(Handler, EditsLandAsOnePointPerParameterHoldingTheLatestValue) {
  std::recursive_mutex lock;
  Handler handler(lock);
  EXPECT_EQ(kResultOk, handler.beginEdit(7));
  EXPECT_EQ(kResultOk, handler.performEdit(7, 0.2));
  EXPECT_EQ(kResultOk, handler.performEdit(7, 0.6));
  EXPECT_EQ(kResultOk, handler.performEdit(40000, 1.0));
  EXPECT_EQ(kResultOk, handler.endEdit(7));

  ASSERT_EQ(2, handler.inputChanges.getParameterCount());
  IParamValueQueue* queue = handler.inputChanges.getParameterData(0);
  EXPECT_EQ(7u, queue->getParameterId());
  ASSERT_EQ(1, queue->getPointCount());
  int32 offset = -1;
  ParamValue value = 0;
  queue->getPoint(0, offset, value);
  EXPECT_EQ(0, offset);
  EXPECT_DOUBLE_EQ(0.6, value);
  EXPECT_EQ(40000u, handler.inputChanges.getParameterData(1)->getParameterId());
}

TEST(HostObjects, HandOutOnlyTheirOwnInterfaces) {
  std::recursive_mutex lock;
  Handler handler(lock);
  Frame frame;
  void* obj = &obj;
  EXPECT_EQ(kResultOk, handler.queryInterface(IComponentHandler::iid, &obj));
  EXPECT_EQ(&handler, obj);
  EXPECT_EQ(kResultOk, handler.queryInterface(FUnknown::iid, &obj));
  EXPECT_EQ(kNoInterface, handler.queryInterface(IComponentHandler2::iid, &obj));
  EXPECT_EQ(nullptr, obj);
  EXPECT_EQ(kNoInterface, handler.queryInterface(IPlugFrame::iid, &obj));

  EXPECT_EQ(kResultOk, frame.queryInterface(IPlugFrame::iid, &obj));
  EXPECT_EQ(&frame, obj);
  EXPECT_EQ(kNoInterface, frame.queryInterface(IComponentHandler::iid, &obj));
  EXPECT_EQ(kNoInterface, frame.queryInterface(Linux::IRunLoop::iid, &obj));
  EXPECT_EQ(nullptr, obj);
  EXPECT_EQ(1u, handler.addRef());
  EXPECT_EQ(1u, frame.release());
}

// A view that records onSize and answers what it is told to.
class RecordingView : public IPlugView {
 public:
  tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
  tresult PLUGIN_API isPlatformTypeSupported(FIDString) override { return kResultFalse; }
  tresult PLUGIN_API attached(void*, FIDString) override { return kResultFalse; }
  tresult PLUGIN_API removed() override { return kResultOk; }
  tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
  tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
  tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
  tresult PLUGIN_API getSize(ViewRect*) override { return kResultFalse; }
  tresult PLUGIN_API onSize(ViewRect* r) override {
    seen = *r;
    return answer;
  }
  tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }
  tresult PLUGIN_API setFrame(IPlugFrame*) override { return kResultOk; }
  tresult PLUGIN_API canResize() override { return kResultTrue; }
  tresult PLUGIN_API checkSizeConstraint(ViewRect*) override { return kResultOk; }

  ViewRect seen;
  tresult answer = kResultOk;
};

class RecordingWindow : public EditorWindow {
 public:
  void setContentSize(int32 w, int32 h) override { size = {w, h}; }
  void show() override {}
  void hide() override {}
  bool isVisible() const override { return false; }
  void* nativeHandle() const override { return nullptr; }
  void close() override {}
  std::pair<int32, int32>* target = nullptr;
  std::pair<int32, int32> size{0, 0};
};

TEST(Frame, ResizeViewStoresTheSizeAndPassesOnTheViewsAnswer) {
  Frame frame;
  EXPECT_EQ(800, frame.width);
  EXPECT_EQ(600, frame.height);
  RecordingView view;
  view.answer = kResultFalse;
  ViewRect rect(10, 20, 650, 500);
  EXPECT_EQ(kResultFalse, frame.resizeView(&view, &rect));
  EXPECT_EQ(640, frame.width);
  EXPECT_EQ(480, frame.height);
  EXPECT_EQ(650, view.seen.right);

  auto window = std::make_unique<RecordingWindow>();
  RecordingWindow* seen = window.get();
  frame.window = std::move(window);
  ViewRect smaller(0, 0, 300, 200);
  EXPECT_EQ(kResultFalse, frame.resizeView(&view, &smaller));
  EXPECT_EQ((std::pair<int32, int32>{300, 200}), seen->size);
}

}  // namespace
}  // namespace wf::host
