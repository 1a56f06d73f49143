#include "editor/run_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <functional>

namespace wf::editor {
namespace {

using namespace std::chrono_literals;
using namespace Steinberg;

// Handlers driven by std::function hooks, counting their calls.
struct Timer : Linux::ITimerHandler {
  std::function<void()> hook;
  int calls = 0;
  void PLUGIN_API onTimer() override {
    ++calls;
    if (hook)
      hook();
  }
  tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

struct FdHandler : Linux::IEventHandler {
  std::function<void(int)> hook;
  std::vector<int> fds;
  void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
    fds.push_back(fd);
    if (hook)
      hook(fd);
  }
  tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
  uint32 PLUGIN_API addRef() override { return 1; }
  uint32 PLUGIN_API release() override { return 1; }
};

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int p[2];
    EXPECT_EQ(0, ::pipe(p));
    read = p[0];
    write = p[1];
  }
  ~Pipe() {
    ::close(read);
    ::close(write);
  }
  void signal() { ASSERT_EQ(1, ::write(write, "x", 1)); }
};

class RunLoopTest : public ::testing::Test {
 protected:
  RunLoop::TimePoint now{};
  RunLoop loop{[this] { return now; }};

  // One pump step without waiting: poll the registered descriptors, dispatch
  // the readable ones.
  void turn() {
    std::vector<int> fds;
    loop.addFds(fds);
    std::vector<pollfd> polled;
    for (int fd : fds) {
      polled.push_back({fd, POLLIN, 0});
    }
    ASSERT_GE(::poll(polled.data(), polled.size(), 0), 0);
    std::vector<int> ready;
    for (const auto& p : polled) {
      if ((p.revents & (POLLIN | POLLHUP)) != 0) {
        ready.push_back(p.fd);
      }
    }
    loop.dispatch(ready);
  }
};

TEST_F(RunLoopTest, TimerFiresOncePerIntervalAndNotBefore) {
  Timer timer;
  ASSERT_EQ(kResultOk, loop.registerTimer(&timer, 30));
  EXPECT_EQ(30ms, loop.untilNextTimer());
  now += 29ms;
  turn();
  EXPECT_EQ(0, timer.calls);
  now += 1ms;
  turn();
  turn();
  EXPECT_EQ(1, timer.calls);
  now += 30ms;
  turn();
  EXPECT_EQ(2, timer.calls);
}

TEST_F(RunLoopTest, LateTurnFiresOnceWithoutCatchingUp) {
  Timer timer;
  loop.registerTimer(&timer, 10);
  now += 95ms;
  turn();
  EXPECT_EQ(1, timer.calls);
  EXPECT_EQ(10ms, loop.untilNextTimer());
}

TEST_F(RunLoopTest, UntilNextTimerIsTheEarliestAndNeverNegative) {
  EXPECT_EQ(std::nullopt, loop.untilNextTimer());
  Timer slow, fast;
  loop.registerTimer(&slow, 100);
  loop.registerTimer(&fast, 20);
  EXPECT_EQ(20ms, loop.untilNextTimer());
  now += 50ms;
  EXPECT_EQ(0ms, loop.untilNextTimer());
}

TEST_F(RunLoopTest, UnregisteredTimerStopsAndUnknownOnesAreRejected) {
  Timer timer, stranger;
  loop.registerTimer(&timer, 5);
  EXPECT_EQ(kResultOk, loop.unregisterTimer(&timer));
  EXPECT_EQ(kInvalidArgument, loop.unregisterTimer(&stranger));
  EXPECT_EQ(kInvalidArgument, loop.registerTimer(nullptr, 5));
  now += 1s;
  turn();
  EXPECT_EQ(0, timer.calls);
  EXPECT_TRUE(loop.empty());
}

TEST_F(RunLoopTest, TimerMayUnregisterItselfAndAnotherDueTimer) {
  Timer first, second;
  first.hook = [&] {
    loop.unregisterTimer(&first);
    loop.unregisterTimer(&second);
  };
  loop.registerTimer(&first, 10);
  loop.registerTimer(&second, 10);
  now += 10ms;
  turn();
  EXPECT_EQ(1, first.calls);
  EXPECT_EQ(0, second.calls);
  EXPECT_TRUE(loop.empty());
}

TEST_F(RunLoopTest, HandlerIsCalledOnlyWhenItsDescriptorIsReadable) {
  Pipe quiet, busy;
  FdHandler handler;
  ASSERT_EQ(kResultOk, loop.registerEventHandler(&handler, quiet.read));
  ASSERT_EQ(kResultOk, loop.registerEventHandler(&handler, busy.read));
  turn();
  EXPECT_TRUE(handler.fds.empty());
  busy.signal();
  turn();
  EXPECT_EQ(std::vector<int>{busy.read}, handler.fds);
}

TEST_F(RunLoopTest, UnregisteringAHandlerDropsAllItsDescriptors) {
  Pipe a, b;
  FdHandler handler;
  loop.registerEventHandler(&handler, a.read);
  loop.registerEventHandler(&handler, b.read);
  EXPECT_EQ(kResultOk, loop.unregisterEventHandler(&handler));
  EXPECT_EQ(kInvalidArgument, loop.unregisterEventHandler(&handler));
  a.signal();
  b.signal();
  turn();
  EXPECT_TRUE(handler.fds.empty());
  EXPECT_TRUE(loop.empty());
}

TEST_F(RunLoopTest, InvalidRegistrationsAreRefused) {
  FdHandler handler;
  EXPECT_EQ(kInvalidArgument, loop.registerEventHandler(nullptr, 0));
  EXPECT_EQ(kInvalidArgument, loop.registerEventHandler(&handler, -1));
  EXPECT_TRUE(loop.empty());
}

TEST_F(RunLoopTest, HandlerRemovedByAnEarlierCallbackIsNotCalled) {
  Pipe a, b;
  FdHandler first, second;
  first.hook = [&](int) { loop.unregisterEventHandler(&second); };
  loop.registerEventHandler(&first, a.read);
  loop.registerEventHandler(&second, b.read);
  a.signal();
  b.signal();
  turn();
  EXPECT_EQ(1u, first.fds.size());
  EXPECT_TRUE(second.fds.empty());
}

TEST_F(RunLoopTest, ClearForgetsEverything) {
  Pipe p;
  FdHandler handler;
  Timer timer;
  loop.registerEventHandler(&handler, p.read);
  loop.registerTimer(&timer, 1);
  loop.clear();
  p.signal();
  now += 1s;
  turn();
  EXPECT_TRUE(handler.fds.empty());
  EXPECT_EQ(0, timer.calls);
}

TEST_F(RunLoopTest, HandsOutOnlyTheRunLoopInterface) {
  void* obj = nullptr;
  EXPECT_EQ(kResultOk, loop.queryInterface(Linux::IRunLoop::iid, &obj));
  EXPECT_EQ(static_cast<Linux::IRunLoop*>(&loop), obj);
  EXPECT_EQ(kResultOk, loop.queryInterface(FUnknown::iid, &obj));
  EXPECT_EQ(kNoInterface, loop.queryInterface(IPlugFrame::iid, &obj));
  EXPECT_EQ(nullptr, obj);
}

}  // namespace
}  // namespace wf::editor
