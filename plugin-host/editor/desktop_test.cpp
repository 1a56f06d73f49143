#include "editor/desktop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "editor/window_fake.h"

namespace wf::editor {
namespace {

using namespace std::chrono_literals;
using namespace Steinberg;

struct Timer : Linux::ITimerHandler {
  int calls = 0;
  void PLUGIN_API onTimer() override { ++calls; }
  tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

struct Reader : Linux::IEventHandler {
  int calls = 0;
  void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
    char c;
    EXPECT_EQ(1, ::read(fd, &c, 1));
    ++calls;
  }
  tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

TEST(DesktopTest, OpensTheDisplayOnFirstNeedAndRetriesWhenThereIsNone) {
  int attempts = 0;
  bool available = false;
  Desktop desktop([&]() -> std::unique_ptr<Display> {
    ++attempts;
    if (!available)
      return nullptr;
    return std::make_unique<FakeDisplay>();
  });
  desktop.pump(0ns);
  EXPECT_EQ(0, attempts);
  EXPECT_EQ(nullptr, desktop.display());
  available = true;
  Display* display = desktop.display();
  ASSERT_NE(nullptr, display);
  EXPECT_EQ(display, desktop.display());
  EXPECT_EQ(2, attempts);
}

TEST(DesktopTest, LostDisplayIsReplacedOnceNoEditorUsesIt) {
  int opened = 0;
  Desktop desktop([&] {
    ++opened;
    return std::make_unique<FakeDisplay>();
  });
  auto* first = static_cast<FakeDisplay*>(desktop.display());
  RunLoop editorLoop;
  desktop.add(&editorLoop);
  first->lost = true;
  EXPECT_EQ(first, desktop.display());  // an editor window still lives on it
  desktop.remove(&editorLoop);
  Display* second = desktop.display();
  EXPECT_NE(nullptr, second);
  EXPECT_TRUE(second->connected());
  EXPECT_EQ(2, opened);
}

TEST(DesktopTest, PumpDispatchesWindowEventsAndServicesRunLoops) {
  auto* fake = new FakeDisplay;
  Desktop desktop([&] { return std::unique_ptr<Display>(fake); });
  ASSERT_EQ(fake, desktop.display());
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  RunLoop loop;
  Reader reader;
  Timer timer;
  loop.registerEventHandler(&reader, p[0]);
  loop.registerTimer(&timer, 1);
  desktop.add(&loop);
  ASSERT_EQ(1, ::write(p[1], "x", 1));
  // The pump waits at most until the timer is due, so a few turns with a
  // generous cap are enough.
  for (int i = 0; i < 1000 && (timer.calls == 0 || reader.calls == 0); ++i) {
    desktop.pump(1ms);
  }
  EXPECT_EQ(1, reader.calls);
  EXPECT_GE(timer.calls, 1);
  EXPECT_GE(fake->dispatches, 2);

  desktop.remove(&loop);
  int before = timer.calls;
  ASSERT_EQ(1, ::write(p[1], "x", 1));
  std::this_thread::sleep_for(5ms);
  desktop.pump(1ms);
  EXPECT_EQ(1, reader.calls);
  EXPECT_EQ(before, timer.calls);
  ::close(p[0]);
  ::close(p[1]);
}

}  // namespace
}  // namespace wf::editor
