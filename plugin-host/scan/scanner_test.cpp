#include "scan/scanner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "scan/scan_child_fake.h"

namespace wf::host {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const json CLASSES = json::array({{{"classId", "57460001000000000000000000000001"},
                                   {"instrument", false},
                                   {"name", "Test Gain"},
                                   {"vendor", "Wrenfield Tests"}}});

struct ScannerTest : ::testing::Test {
  ScannerTest() {
    auto owned = std::make_unique<FakeScanPlatform>();
    platform = owned.get();
    scanner = std::make_unique<Scanner>(std::move(owned));
  }

  std::shared_ptr<FakeChildScript> script(const std::string& path) {
    auto made = std::make_shared<FakeChildScript>();
    platform->scripts[path] = made;
    return made;
  }
  static json request(const std::string& path) { return {{"op", "scan"}, {"path", path}}; }

  // Polls a started scan once; the reply's "result", or its "error" text.
  static json pollOnce(PendingCommand& command) {
    try {
      auto result = command.poll();
      return result ? *result : json("(running)");
    } catch (const std::exception& e) {
      return json{{"error", e.what()}};
    }
  }

  FakeScanPlatform* platform;
  std::unique_ptr<Scanner> scanner;
};

TEST_F(ScannerTest, AnswersTheChildsRecordsWithThePathAndWatchesItsDescriptors) {
  auto child = script("/p/gain.vst3");
  auto scan = scanner->start(request("/p/gain.vst3"));
  EXPECT_EQ((std::vector<int>{40, 41}), scan->watchedFds());
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(20s), scan->pollWithin());
  EXPECT_EQ("(running)", pollOnce(*scan));

  // The message may arrive in pieces; only the end counts.
  const std::string message = Scanner::message(CLASSES);
  child->message = message.substr(0, 10);
  EXPECT_EQ("(running)", pollOnce(*scan));
  child->message = message;
  // A child that closed its pipe but still runs is watched by its end only.
  child->closed = true;
  EXPECT_EQ("(running)", pollOnce(*scan));
  EXPECT_EQ((std::vector<int>{41}), scan->watchedFds());
  child->end = ChildEnd{};
  json expected = CLASSES;
  expected[0]["path"] = "/p/gain.vst3";
  EXPECT_EQ(expected, pollOnce(*scan));
}

TEST_F(ScannerTest, AnUnchangedModuleIsAnsweredFromTheCacheAChangedOneIsScannedAgain) {
  platform->stamps["/p/gain.vst3"] = {1, 2, 1000, 5};
  auto child = script("/p/gain.vst3");
  child->message = Scanner::message(CLASSES);
  child->end = ChildEnd{};
  auto first = scanner->start(request("/p/gain.vst3"));
  ASSERT_TRUE(pollOnce(*first).is_array());

  auto again = scanner->start(request("/p/gain.vst3"));
  EXPECT_TRUE(again->watchedFds().empty());
  json expected = CLASSES;
  expected[0]["path"] = "/p/gain.vst3";
  EXPECT_EQ(expected, pollOnce(*again));
  EXPECT_EQ((std::vector<std::string>{"launch /p/gain.vst3"}), platform->log);

  // Each part of the stamp on its own makes the module a new one.
  const ModuleStamp changes[] = {
      {9, 2, 1000, 5}, {1, 9, 1000, 5}, {1, 2, 1001, 5}, {1, 2, 1000, 6}};
  for (const ModuleStamp& stamp : changes) {
    platform->stamps["/p/gain.vst3"] = stamp;
    platform->log.clear();
    auto rescan = scanner->start(request("/p/gain.vst3"));
    EXPECT_EQ(expected, pollOnce(*rescan));
    EXPECT_EQ((std::vector<std::string>{"launch /p/gain.vst3"}), platform->log);
  }
}

TEST_F(ScannerTest, FailuresAreNotCachedAndAModuleWithoutStampIsAlwaysScanned) {
  platform->stamps["/p/bad.vst3"] = {1, 2, 3, 4};
  auto child = script("/p/bad.vst3");
  child->message = Scanner::message("VST3 module entry failed: /p/bad.so");
  child->end = ChildEnd{};
  auto child2 = script("/p/missing.vst3");
  child2->message = Scanner::message("VST3 module not found: /p/missing.vst3");
  child2->end = ChildEnd{};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ((json{{"error", "VST3 module entry failed: /p/bad.so"}}),
              pollOnce(*scanner->start(request("/p/bad.vst3"))));
    EXPECT_EQ((json{{"error", "VST3 module not found: /p/missing.vst3"}}),
              pollOnce(*scanner->start(request("/p/missing.vst3"))));
  }
  EXPECT_EQ(4u, platform->log.size());
}

TEST_F(ScannerTest, AChildThatDiesNamesTheSignalOrItsExitStatus) {
  struct Case {
    std::string message;
    ChildEnd end;
    std::string error;
  };
  const Case cases[] = {
      {"", {SIGSEGV, 0}, "Plug-in crashed while scanning (SIGSEGV)"},
      {"", {SIGABRT, 0}, "Plug-in crashed while scanning (SIGABRT)"},
      {"", {SIGBUS, 0}, "Plug-in crashed while scanning (SIGBUS)"},
      // A message cut short by the crash counts for nothing.
      {Scanner::message(CLASSES).substr(0, 20),
       {SIGSEGV, 0},
       "Plug-in crashed while scanning (SIGSEGV)"},
      {"", {0, 3}, "Plug-in exited while scanning (status 3)"},
      {"", {0, 0}, "Plug-in exited while scanning (status 0)"},
      {"not json", {0, 0}, "Plug-in exited while scanning (status 0)"},
      {Scanner::message(CLASSES), {0, 1}, "Plug-in exited while scanning (status 1)"},
  };
  for (const Case& c : cases) {
    auto child = script("/p/x.vst3");
    child->message = c.message;
    child->end = c.end;
    EXPECT_EQ((json{{"error", c.error}}), pollOnce(*scanner->start(request("/p/x.vst3"))))
        << c.error;
  }
}

TEST_F(ScannerTest, AChildPastTheTimeLimitIsKilledAndTheReplySaysSo) {
  auto child = script("/p/hang.vst3");
  auto scan = scanner->start(request("/p/hang.vst3"));
  platform->clock += 19s;
  EXPECT_EQ("(running)", pollOnce(*scan));
  EXPECT_EQ(std::optional<std::chrono::nanoseconds>(1s), scan->pollWithin());
  EXPECT_FALSE(child->killed);
  platform->clock += 1s;
  EXPECT_EQ((json{{"error", "Plug-in did not finish scanning within 20 s and was stopped"}}),
            pollOnce(*scan));
  EXPECT_TRUE(child->killed);
  EXPECT_EQ((std::vector<std::string>{"launch /p/hang.vst3", "kill /p/hang.vst3"}), platform->log);
}

TEST_F(ScannerTest, RequestAndLaunchFailuresAnswerAtOnce) {
  EXPECT_THROW(scanner->start(request("/p/none.vst3")), std::runtime_error);
  try {
    scanner->start(request("/p/none.vst3"));
  } catch (const std::exception& e) {
    EXPECT_EQ(platform->launchError, e.what());
  }
  EXPECT_THROW(scanner->start({{"op", "scan"}, {"path", 5}}), nlohmann::json::type_error);
  EXPECT_THROW(scanner->start({{"op", "scan"}}), nlohmann::json::out_of_range);
}

}  // namespace
}  // namespace wf::host
