// A pass-through stereo effect with an X11 editor.
//
// The view embeds a child window of its own X11 connection into the host's
// window, draws into it, services its connection and a 20 ms timer through
// the host's run loop (Linux::IRunLoop, from the plug frame). Each timer call
// counts a tick and reports ticks / 1000 as parameter 1 "Ticks" through the
// controller's performEdit, so the timer is observable from outside. Setting
// parameter 2 "Resize" to 0.5 or more makes an open view ask its frame for
// 640 x 480. The view starts at 400 x 300.
//
// A second class, "Editor Probe Mono", has the same controller and editor but
// mono-only main buses; each of its output samples is the "Ticks" value its
// processor holds, so the edits it receives show in the output.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "public.sdk/source/common/pluginview.h"
#include "test_plugin_support.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the SDK headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace wf::testplugin {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const FUID PROCESSOR_ID = testClassId(0x52, 1);
const FUID CONTROLLER_ID = testClassId(0x52, 2);
const FUID MONO_PROCESSOR_ID = testClassId(0x52, 3);
constexpr ParamID TICKS = 1, RESIZE = 2;
constexpr Linux::TimerInterval TICK_MS = 20;

class ProbeController;

struct EventCallback final : Linux::IEventHandler {
  std::function<void()> call;
  void PLUGIN_API onFDIsSet(Linux::FileDescriptor) override { call(); }
  tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
    if (FUnknownPrivate::iidEqual(iid, Linux::IEventHandler::iid) ||
        FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

struct TimerCallback final : Linux::ITimerHandler {
  std::function<void()> call;
  void PLUGIN_API onTimer() override { call(); }
  tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
    if (FUnknownPrivate::iidEqual(iid, Linux::ITimerHandler::iid) ||
        FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
      *obj = this;
      return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
  }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

class ProbeView final : public CPluginView {
 public:
  explicit ProbeView(ProbeController* controller);
  ~ProbeView() override;

  tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
    return std::string(type) == kPlatformTypeX11EmbedWindowID ? kResultTrue : kResultFalse;
  }
  tresult PLUGIN_API attached(void* parent, FIDString type) override;
  tresult PLUGIN_API removed() override;
  tresult PLUGIN_API onSize(ViewRect* newSize) override;

  void requestResize() {
    if (plugFrame && display_) {
      ViewRect r{0, 0, 640, 480};
      plugFrame->resizeView(this, &r);
    }
  }
  void controllerGone() { controller_ = nullptr; }

 private:
  void handleEvents();
  void tick();
  void draw();

  ProbeController* controller_;
  ::Display* display_ = nullptr;
  ::Window window_ = 0;
  Linux::IRunLoop* runLoop_ = nullptr;
  EventCallback events_;
  TimerCallback timer_;
  int ticks_ = 0;
  bool lost_ = false;
};

class ProbeController final : public EditController {
 public:
  tresult PLUGIN_API initialize(FUnknown* context) override {
    const tresult result = EditController::initialize(context);
    if (result == kResultOk) {
      parameters.addParameter(u"Ticks", nullptr, 0, 0, ParameterInfo::kNoFlags, TICKS);
      parameters.addParameter(u"Resize", nullptr, 1, 0, ParameterInfo::kNoFlags, RESIZE);
    }
    return result;
  }
  tresult PLUGIN_API terminate() override {
    if (view_)
      view_->controllerGone();
    view_ = nullptr;
    return EditController::terminate();
  }

  IPlugView* PLUGIN_API createView(FIDString name) override {
    if (std::string(name) != ViewType::kEditor)
      return nullptr;
    if (view_)
      view_->controllerGone();
    view_ = new ProbeView(this);
    return view_;
  }
  void viewGone(ProbeView* view) {
    if (view_ == view)
      view_ = nullptr;
  }

  tresult PLUGIN_API setParamNormalized(ParamID id, ParamValue value) override {
    const tresult result = EditController::setParamNormalized(id, value);
    if (id == RESIZE && value >= 0.5 && view_)
      view_->requestResize();
    return result;
  }

  void reportTicks(int ticks) {
    const double value = std::min(ticks, 1000) / 1000.0;
    EditController::setParamNormalized(TICKS, value);
    beginEdit(TICKS);
    performEdit(TICKS, value);
    endEdit(TICKS);
  }

 private:
  ProbeView* view_ = nullptr;
};

ProbeView::ProbeView(ProbeController* controller) : controller_(controller) {
  ViewRect r{0, 0, 400, 300};
  setRect(r);
  events_.call = [this] { handleEvents(); };
  timer_.call = [this] { tick(); };
}

ProbeView::~ProbeView() {
  if (display_)
    removed();
  if (controller_)
    controller_->viewGone(this);
}

tresult PLUGIN_API ProbeView::attached(void* parent, FIDString type) {
  if (isPlatformTypeSupported(type) != kResultTrue || parent == nullptr || plugFrame == nullptr) {
    return kResultFalse;
  }
  void* loop = nullptr;
  if (plugFrame->queryInterface(Linux::IRunLoop::iid, &loop) != kResultOk || loop == nullptr) {
    return kResultFalse;
  }
  runLoop_ = static_cast<Linux::IRunLoop*>(loop);
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) {
    runLoop_->release();
    runLoop_ = nullptr;
    return kResultFalse;
  }
  // Outlive a vanished X server, as the host does: stop drawing instead of
  // letting Xlib end the process.
  XSetIOErrorExitHandler(
      display_, [](::Display*, void* self) { static_cast<ProbeView*>(self)->lost_ = true; }, this);
  auto parentId = static_cast<::Window>(reinterpret_cast<std::uintptr_t>(parent));
  int screen = DefaultScreen(display_);
  window_ = XCreateSimpleWindow(display_, parentId, 0, 0, static_cast<unsigned>(rect.getWidth()),
                                static_cast<unsigned>(rect.getHeight()), 0,
                                BlackPixel(display_, screen), 0x203040);
  XSelectInput(display_, window_, ExposureMask | StructureNotifyMask);
  XMapWindow(display_, window_);
  XFlush(display_);
  runLoop_->registerEventHandler(&events_, ConnectionNumber(display_));
  runLoop_->registerTimer(&timer_, TICK_MS);
  return CPluginView::attached(parent, type);
}

tresult PLUGIN_API ProbeView::removed() {
  if (runLoop_) {
    runLoop_->unregisterTimer(&timer_);
    runLoop_->unregisterEventHandler(&events_);
    runLoop_->release();
    runLoop_ = nullptr;
  }
  if (display_) {
    if (!lost_)
      XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
    display_ = nullptr;
    window_ = 0;
  }
  return CPluginView::removed();
}

tresult PLUGIN_API ProbeView::onSize(ViewRect* newSize) {
  CPluginView::onSize(newSize);
  if (display_ && !lost_ && newSize) {
    XResizeWindow(display_, window_, static_cast<unsigned>(std::max(1, newSize->getWidth())),
                  static_cast<unsigned>(std::max(1, newSize->getHeight())));
    draw();
  }
  return kResultOk;
}

void ProbeView::handleEvents() {
  bool exposed = false;
  while (display_ && !lost_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    exposed = exposed || event.type == Expose || event.type == ConfigureNotify;
  }
  if (exposed)
    draw();
}

void ProbeView::tick() {
  ++ticks_;
  if (controller_)
    controller_->reportTicks(ticks_);
  draw();
}

void ProbeView::draw() {
  if (!display_ || lost_)
    return;
  GC gc = XCreateGC(display_, window_, 0, nullptr);
  int w = rect.getWidth(), h = rect.getHeight();
  XSetForeground(display_, gc, 0x203040);
  XFillRectangle(display_, window_, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XSetForeground(display_, gc, 0xE0A020);
  XFillRectangle(display_, window_, gc, 20, 20, static_cast<unsigned>(std::max(1, w - 40)), 40);
  // A bar that grows with the ticks, so a still picture shows the timer ran.
  XSetForeground(display_, gc, 0x40C060);
  int bar = std::min(w - 40, (ticks_ * 4) % std::max(1, w - 40));
  XFillRectangle(display_, window_, gc, 20, h - 60, static_cast<unsigned>(std::max(1, bar)), 30);
  XSetForeground(display_, gc, 0xFFFFFF);
  std::string title = "Editor probe " + std::to_string(w) + "x" + std::to_string(h);
  std::string ticks = "ticks " + std::to_string(ticks_);
  XDrawString(display_, window_, gc, 30, 45, title.c_str(), static_cast<int>(title.size()));
  XDrawString(display_, window_, gc, 20, h - 70, ticks.c_str(), static_cast<int>(ticks.size()));
  XFreeGC(display_, gc);
  XFlush(display_);
}

class ProbeProcessor final : public StereoEffect {
 public:
  ProbeProcessor() { setControllerClass(CONTROLLER_ID); }
  tresult PLUGIN_API process(ProcessData& data) override {
    passThrough(data);
    return kResultOk;
  }
  tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }
  tresult PLUGIN_API getState(IBStream*) override { return kResultOk; }
};

class MonoProbeProcessor final : public MonoEffect {
 public:
  MonoProbeProcessor() { setControllerClass(CONTROLLER_ID); }
  tresult PLUGIN_API process(ProcessData& data) override {
    double value = 0;
    if (lastParameterValue(data, TICKS, value)) {
      ticks_ = static_cast<float>(value);
    }
    for (int32 c = 0; c < data.outputs[0].numChannels; ++c) {
      std::fill(data.outputs[0].channelBuffers32[c],
                data.outputs[0].channelBuffers32[c] + data.numSamples, ticks_);
    }
    return kResultOk;
  }
  tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }
  tresult PLUGIN_API getState(IBStream*) override { return kResultOk; }

 private:
  float ticks_ = 0.0f;
};

}  // namespace

const std::vector<ClassEntry>& moduleClasses() {
  static const std::vector<ClassEntry> classes = {
      {PROCESSOR_ID, kVstAudioEffectClass, "Editor Probe", "Fx", "Wrenfield Tests",
       [] { return asComponent(new ProbeProcessor); }},
      {CONTROLLER_ID, kVstComponentControllerClass, "Editor Probe Controller", "",
       "Wrenfield Tests", [] { return asController(new ProbeController); }},
      {MONO_PROCESSOR_ID, kVstAudioEffectClass, "Editor Probe Mono", "Fx|Mono", "Wrenfield Tests",
       [] { return asComponent(new MonoProbeProcessor); }},
  };
  return classes;
}

}  // namespace wf::testplugin
