#include "editor/desktop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <vector>

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
  desktop.pump({});
  std::vector<int> fds;
  EXPECT_EQ(std::nullopt, desktop.prepareWait(fds));
  EXPECT_TRUE(fds.empty());
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
  RunLoop::TimePoint now{};
  RunLoop loop([&] { return now; });
  Reader reader;
  Timer timer;
  loop.registerEventHandler(&reader, p[0]);
  loop.registerTimer(&timer, 10);
  desktop.add(&loop);

  desktop.pump({});
  EXPECT_EQ(0, reader.calls);
  EXPECT_EQ(0, timer.calls);
  EXPECT_EQ(2, fake->dispatches);

  ASSERT_EQ(1, ::write(p[1], "x", 1));
  now += 10ms;
  desktop.pump({p[0]});
  EXPECT_EQ(1, reader.calls);
  EXPECT_EQ(1, timer.calls);

  desktop.remove(&loop);
  ASSERT_EQ(1, ::write(p[1], "x", 1));
  now += 10ms;
  desktop.pump({p[0]});
  EXPECT_EQ(1, reader.calls);
  EXPECT_EQ(1, timer.calls);
  ::close(p[0]);
  ::close(p[1]);
}

// What the main loop sleeps on: the display's descriptor, every run loop's
// descriptors, and no longer than the earliest timer (no limit without one).
TEST(DesktopTest, PrepareWaitWatchesDisplayAndRunLoopsUntilTheEarliestTimer) {
  auto* fake = new FakeDisplay;
  fake->fd = 40;
  Desktop desktop([&] { return std::unique_ptr<Display>(fake); });
  ASSERT_EQ(fake, desktop.display());

  std::vector<int> fds;
  EXPECT_EQ(std::nullopt, desktop.prepareWait(fds));
  EXPECT_EQ(std::vector<int>{40}, fds);
  EXPECT_EQ(1, fake->dispatches) << "events already read must not wait for the descriptor";

  RunLoop::TimePoint now{};
  RunLoop first([&] { return now; });
  RunLoop second([&] { return now; });
  Reader reader;
  Timer slow;
  Timer fast;
  first.registerEventHandler(&reader, 41);
  first.registerTimer(&slow, 100);
  second.registerTimer(&fast, 30);
  desktop.add(&first);
  desktop.add(&second);
  fds.clear();
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(30ms), desktop.prepareWait(fds));
  EXPECT_EQ((std::vector<int>{40, 41}), fds);

  now += 20ms;
  fds.clear();
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(10ms), desktop.prepareWait(fds));
  now += 50ms;
  fds.clear();
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(0ms), desktop.prepareWait(fds));

  desktop.remove(&first);
  desktop.remove(&second);
  fds.clear();
  EXPECT_EQ(std::nullopt, desktop.prepareWait(fds));
  EXPECT_EQ(std::vector<int>{40}, fds);
}

}  // namespace
}  // namespace wf::editor
