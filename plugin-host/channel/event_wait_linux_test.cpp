#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "channel/event_wait.h"

namespace wf::host {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int p[2];
    EXPECT_EQ(0, ::pipe(p));
    read = p[0];
    write = p[1];
  }
  ~Pipe() {
    ::close(read);
    if (write >= 0) {
      ::close(write);
    }
  }
};

TEST(LinuxEventWait, ReportsOnlyTheReadyDescriptorsAndAHangUpCountsAsReady) {
  auto wait = makeEventWait();
  ASSERT_NE(nullptr, wait);
  Pipe quiet;
  Pipe data;
  Pipe hungUp;
  EXPECT_TRUE(wait->wait({quiet.read, data.read}, 0ns).empty());

  ASSERT_EQ(1, ::write(data.write, "x", 1));
  EXPECT_EQ(std::vector<int>{data.read}, wait->wait({quiet.read, data.read}, std::nullopt));

  ::close(hungUp.write);
  hungUp.write = -1;
  EXPECT_EQ((std::vector<int>{data.read, hungUp.read}),
            wait->wait({quiet.read, data.read, hungUp.read}, std::nullopt));
}

// A run-loop timer's due time is the only limit: the wait ends by itself.
TEST(LinuxEventWait, ATimeLimitEndsTheWaitWithNothingReady) {
  auto wait = makeEventWait();
  ASSERT_NE(nullptr, wait);
  Pipe quiet;
  EXPECT_TRUE(wait->wait({quiet.read}, 2ms).empty());
  EXPECT_TRUE(wait->wait({}, 1ns).empty());
}

TEST(LinuxEventWait, AWakeUpSentBeforeTheWaitEndsItAndIsUsedUp) {
  auto wait = makeEventWait();
  ASSERT_NE(nullptr, wait);
  Pipe quiet;
  wait->wake();
  wait->wake();
  EXPECT_TRUE(wait->wait({quiet.read}, std::nullopt).empty());
  // Both wake-ups were consumed by that wait: a poll now finds nothing.
  EXPECT_TRUE(wait->wait({quiet.read}, 0ns).empty());
}

TEST(LinuxEventWait, AWakeUpFromAnotherThreadEndsAnUnlimitedWait) {
  auto wait = makeEventWait();
  ASSERT_NE(nullptr, wait);
  Pipe quiet;
  std::thread waker([&] { wait->wake(); });
  EXPECT_TRUE(wait->wait({quiet.read}, std::nullopt).empty());
  waker.join();
}

}  // namespace
}  // namespace wf::host
