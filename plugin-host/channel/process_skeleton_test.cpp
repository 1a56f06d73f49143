#include "channel/process_skeleton.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "channel/event_wait_fake.h"
#include "testing/wait_for.h"

namespace wf::host {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using wf::testing::waitFor;

// A pump that counts its turns, records the ready descriptors it is handed
// and asks the loop to watch `fds` and to wake for a timer after `timer`.
class RecordingPump final : public EventPump {
 public:
  void pump(const std::vector<int>& ready) override {
    std::lock_guard<std::mutex> hold(lock);
    turns.fetch_add(1);
    readySeen.insert(readySeen.end(), ready.begin(), ready.end());
  }
  std::optional<std::chrono::nanoseconds> prepareWait(std::vector<int>& out) override {
    out.insert(out.end(), fds.begin(), fds.end());
    return timer;
  }
  std::vector<int> seen() {
    std::lock_guard<std::mutex> hold(lock);
    return readySeen;
  }

  std::atomic<int> turns{0};
  std::vector<int> fds;
  std::optional<std::chrono::nanoseconds> timer;

 private:
  std::mutex lock;
  std::vector<int> readySeen;
};

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

std::string echoLine(int id) {
  return json{{"id", id}, {"op", "echo"}, {"value", id}}.dump() + "\n";
}

// The skeleton on its own thread, reading from a pipe the test writes to and
// answering into a pipe the test reads without blocking.
class RunningSkeleton {
 public:
  RunningSkeleton(const Registry& registry, std::unique_ptr<EventPump> pump,
                  std::shared_ptr<EventWait> wait) {
    int in[2];
    int out[2];
    EXPECT_EQ(0, ::pipe(in));
    EXPECT_EQ(0, ::pipe(out));
    toHost_ = in[1];
    inputFd_ = in[0];
    fromHost_ = out[0];
    outputFd_ = out[1];
    ::fcntl(fromHost_, F_SETFL, O_NONBLOCK);
    skeleton_ = std::make_unique<ProcessSkeleton>(registry, std::move(pump), std::move(wait),
                                                  inputFd_, outputFd_);
    thread_ = std::thread([this] { skeleton_->run(); });
  }
  ~RunningSkeleton() {
    endInput();
    thread_.join();
    ::close(inputFd_);
    ::close(outputFd_);
    ::close(fromHost_);
  }

  void send(const std::string& text) { writeAll(toHost_, text); }
  void endInput() {
    if (toHost_ >= 0) {
      ::close(toHost_);
      toHost_ = -1;
    }
  }
  /// Replies so far, one per line.
  std::string replies() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fromHost_, buffer, sizeof buffer)) > 0) {
      received_.append(buffer, static_cast<size_t>(n));
    }
    return received_;
  }

 private:
  int toHost_ = -1;
  int inputFd_ = -1;
  int fromHost_ = -1;
  int outputFd_ = -1;
  std::string received_;
  std::unique_ptr<ProcessSkeleton> skeleton_;
  std::thread thread_;
};

Registry echoRegistry() {
  Registry registry;
  registry.addChainOperation("echo",
                             [](const json& request, HostState&) { return request.at("value"); });
  return registry;
}

TEST(ProcessSkeleton, PumpsEveryTurnHandlesOneCommandPerTurnAndEndsAfterItsInput) {
  auto pump = std::make_unique<RecordingPump>();
  RecordingPump* counter = pump.get();
  std::vector<int> turnsAtCall;
  Registry registry;
  registry.addChainOperation("echo", [&](const json& request, HostState&) {
    turnsAtCall.push_back(counter->turns.load());
    return request.at("value");
  });

  std::string input;
  for (int i = 0; i < 5; ++i) {
    input += echoLine(i) + "\n";
  }
  input += json{{"id", "p"}, {"op", "process"}, {"pcm", std::vector<float>(2048, 0.0f)}}.dump();
  input += "\n";
  std::string output;
  {
    RunningSkeleton host(registry, std::move(pump), makeEventWait());
    host.send(input);
    // Input ends only once every reply is out: a "process" line still queued
    // at the end of input would be dropped without a reply.
    ASSERT_TRUE(waitFor(
        [&] {
          output = host.replies();
          return std::count(output.begin(), output.end(), '\n') == 6;
        },
        10s, "six replies"));
  }  // ends input; the skeleton's run() returns

  std::istringstream lines(output);
  std::vector<json> echoes;
  json block;
  for (std::string line; std::getline(lines, line);) {
    json reply = json::parse(line);
    (reply.at("id") == "p" ? block : echoes.emplace_back()) = reply;
  }
  ASSERT_EQ(5u, echoes.size());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ((json{{"id", i}, {"result", i}}), echoes[i]);
  }
  // The process line went to the audio worker, which answered it.
  ASSERT_TRUE(block.is_object());
  EXPECT_EQ(std::vector<float>(2048, 0.0f), block.at("result").get<std::vector<float>>());
  ASSERT_EQ(5u, turnsAtCall.size());
  for (size_t i = 1; i < turnsAtCall.size(); ++i) {
    EXPECT_LT(turnsAtCall[i - 1], turnsAtCall[i]) << "two commands in one turn";
  }
}

// A command whose reply comes later: it watches descriptor 50 and is done
// once the test says so.
class TestPending final : public PendingCommand {
 public:
  explicit TestPending(std::atomic<bool>& done) : done_(done) {}
  std::vector<int> watchedFds() const override { return {50}; }
  std::optional<std::chrono::nanoseconds> pollWithin() const override { return std::nullopt; }
  std::optional<json> poll() override {
    if (!done_.load()) {
      return std::nullopt;
    }
    return json("late");
  }

 private:
  std::atomic<bool>& done_;
};

// While a deferred command runs, the loop goes on pumping events, sleeps on
// the command's descriptors beside the pump's, and holds later commands back
// until the command's reply is out.
TEST(ProcessSkeleton, APendingCommandKeepsThePumpTurningAndHoldsLaterCommandsBack) {
  std::atomic<bool> done{false};
  Registry registry = echoRegistry();
  registry.addDeferredOperation(
      "slow", [&](const json&, HostState&) { return std::make_unique<TestPending>(done); });
  auto wait = std::make_shared<FakeEventWait>();
  auto pump = std::make_unique<RecordingPump>();
  RecordingPump* seen = pump.get();
  pump->fds = {41};
  RunningSkeleton host(registry, std::move(pump), wait);

  host.send(json{{"id", 1}, {"op", "slow"}}.dump() + "\n" + echoLine(2));
  auto waitsOn50 = [&] {
    int count = 0;
    for (const auto& record : wait->records()) {
      count += std::count(record.fds.begin(), record.fds.end(), 50) > 0 &&
               std::count(record.fds.begin(), record.fds.end(), 41) > 0 && !record.timeout;
    }
    return count;
  };
  ASSERT_TRUE(waitFor([&] { return waitsOn50() >= 1; }, 10s, "a wait on the command"));

  // Window events keep coming through, and the echo waits its turn.
  wait->makeReady(41);
  ASSERT_TRUE(waitFor([&] { return seen->seen() == std::vector<int>{41}; }, 10s,
                      "the pump to be handed its descriptor"));
  ASSERT_TRUE(waitFor([&] { return waitsOn50() >= 2; }, 10s, "the next wait on the command"));
  EXPECT_EQ("", host.replies());

  done.store(true);
  wait->makeReady(50);
  ASSERT_TRUE(waitFor(
      [&] {
        return host.replies() == R"({"id":1,"result":"late"})"
                                 "\n"
                                 R"({"id":2,"result":2})"
                                 "\n";
      },
      10s, "both replies, in order"));
  // The command's descriptor is the loop's own, never the pump's.
  EXPECT_EQ(std::vector<int>{41}, seen->seen());
}

// With nothing to watch and no timer, the loop sleeps without a time limit,
// exactly once, until the reader's wake-up brings a command.
TEST(ProcessSkeleton, IdleLoopWaitsWithoutLimitUntilACommandArrives) {
  const Registry registry = echoRegistry();
  auto wait = std::make_shared<FakeEventWait>();
  RunningSkeleton host(registry, std::make_unique<RecordingPump>(), wait);

  ASSERT_TRUE(waitFor([&] { return !wait->records().empty(); }, 10s, "the first wait"));
  auto records = wait->records();
  ASSERT_EQ(1u, records.size()) << "the idle loop woke without a command";
  EXPECT_EQ(std::nullopt, records[0].timeout);
  EXPECT_TRUE(records[0].fds.empty());

  host.send(echoLine(7));
  ASSERT_TRUE(waitFor(
      [&] {
        return host.replies() == R"({"id":7,"result":7})"
                                 "\n";
      },
      10s, "the reply to the command"));
  ASSERT_TRUE(waitFor([&] { return wait->records().size() >= 2; }, 10s, "the next wait"));
  for (const auto& record : wait->records()) {
    EXPECT_EQ(std::nullopt, record.timeout);
  }
}

// A run-loop timer bounds the sleep to its due time, and the descriptors the
// pump names are what the loop sleeps on.
TEST(ProcessSkeleton, TimerBoundsTheWaitAndThePumpsDescriptorsAreWatched) {
  const Registry registry = echoRegistry();
  auto wait = std::make_shared<FakeEventWait>();
  auto pump = std::make_unique<RecordingPump>();
  pump->fds = {40, 41};
  pump->timer = 7ms;
  RunningSkeleton host(registry, std::move(pump), wait);

  ASSERT_TRUE(waitFor([&] { return !wait->records().empty(); }, 10s, "the first wait"));
  const auto first = wait->records().front();
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(7ms), first.timeout);
  EXPECT_EQ((std::vector<int>{40, 41}), first.fds);
}

// A descriptor that becomes ready ends the unlimited wait, and the next turn's
// pump is told which one it was.
TEST(ProcessSkeleton, ReadyDescriptorEndsTheWaitAndReachesThePump) {
  const Registry registry = echoRegistry();
  auto wait = std::make_shared<FakeEventWait>();
  auto pump = std::make_unique<RecordingPump>();
  RecordingPump* seen = pump.get();
  pump->fds = {40, 41};
  RunningSkeleton host(registry, std::move(pump), wait);

  ASSERT_TRUE(waitFor([&] { return !wait->records().empty(); }, 10s, "the first wait"));
  EXPECT_EQ(std::nullopt, wait->records().front().timeout);
  wait->makeReady(41);
  ASSERT_TRUE(waitFor([&] { return seen->seen() == std::vector<int>{41}; }, 10s,
                      "the pump to be handed the ready descriptor"));
}

// While a command is still queued after a turn, the wait only polls: window
// events and timers get a turn between commands without delaying the next.
TEST(ProcessSkeleton, AQueuedCommandMakesTheWaitOnlyPoll) {
  auto wait = std::make_shared<FakeEventWait>();
  size_t waitsBeforeSecondTurn = 0;
  Registry registry;
  registry.addChainOperation("echo", [&](const json& request, HostState&) {
    if (request.at("value") == 1) {
      // The reader wakes the loop once per queued command: two wake-ups mean
      // the second command is queued behind this one.
      waitFor([&] { return wait->wakes() >= 2; }, 10s, "the second command to be queued");
      waitsBeforeSecondTurn = wait->records().size();
    }
    return request.at("value");
  });
  RunningSkeleton host(registry, std::make_unique<RecordingPump>(), wait);

  host.send(echoLine(1) + echoLine(2));
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string replies = host.replies();
        return std::count(replies.begin(), replies.end(), '\n') == 2;
      },
      10s, "both replies"));
  const auto records = wait->records();
  ASSERT_GT(records.size(), waitsBeforeSecondTurn);
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(0ns), records[waitsBeforeSecondTurn].timeout);
}

}  // namespace
}  // namespace wf::host
