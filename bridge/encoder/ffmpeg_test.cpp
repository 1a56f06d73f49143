#include "bridge/encoder/ffmpeg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "bridge/core/fake_clock.h"
#include "bridge/encoder/fake_child.h"
#include "testing/temp_dir.h"

namespace wf::bridge {
namespace {

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name))
      saved_ = v;
  }
  ~EnvGuard() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(ResolveFfmpeg, EnvironmentWinsUnlessBlank) {
  EnvGuard guard("FFMPEG_PATH");
  ::setenv("FFMPEG_PATH", " /custom/ffmpeg ", 1);
  EXPECT_EQ(" /custom/ffmpeg ", resolve_ffmpeg());  // used untrimmed
  for (const char* blank : {"", "   ", "\t\n"}) {
    ::setenv("FFMPEG_PATH", blank, 1);
    EXPECT_NE(blank, resolve_ffmpeg());
  }
}

TEST(ResolveFfmpeg, TheFirstPlaceThatHoldsAFileWinsInOrder) {
  const std::string own = "/app/bin/ffmpeg";
  const std::string brew = "/opt/homebrew/bin/ffmpeg";
  const std::string local = "/usr/local/bin/ffmpeg";
  struct Case {
    std::optional<std::string> env;
    std::string own_directory;
    std::set<std::string> files;
    std::string resolved;
    std::vector<std::string> looked_at;
  };
  const Case cases[] = {
      {"/x/ffmpeg", "/app/bin", {own, brew, local}, "/x/ffmpeg", {}},
      {" ", "/app/bin", {own, brew, local}, own, {own}},
      {std::nullopt, "/app/bin", {own, brew, local}, own, {own}},
      {std::nullopt, "/app/bin", {brew, local}, brew, {own, brew}},
      {std::nullopt, "/app/bin", {local}, local, {own, brew, local}},
      {std::nullopt, "/app/bin", {}, "ffmpeg", {own, brew, local}},
      // An executable whose directory is unknown skips that place.
      {std::nullopt, "", {own, local}, local, {brew, local}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> looked_at;
    FfmpegSearch search{c.env, c.own_directory, [&](const std::string& path) {
                          looked_at.push_back(path);
                          return c.files.count(path) > 0;
                        }};
    EXPECT_EQ(c.resolved, resolve_ffmpeg(search)) << c.resolved;
    EXPECT_EQ(c.looked_at, looked_at) << c.resolved;
  }
}

TEST(ResolveFfmpeg, OnlyARegularFileBesideTheExecutableCounts) {
  testing::TempDir dir;
  FfmpegSearch search = current_ffmpeg_search();
  search.env.reset();
  search.own_directory = dir.path();
  std::filesystem::create_directory(dir.file("ffmpeg"));
  EXPECT_NE(dir.file("ffmpeg"), resolve_ffmpeg(search));
  std::filesystem::remove(dir.file("ffmpeg"));
  dir.write("ffmpeg", "#!/bin/sh\n", 0755);
  EXPECT_EQ(dir.file("ffmpeg"), resolve_ffmpeg(search));
}

TEST(ProbeFfmpeg, ReadyOnlyForExitStatusZero) {
  testing::TempDir dir;
  EXPECT_TRUE(
      probe_ffmpeg(dir.write("ok", "#!/bin/sh\n[ \"$1\" = -version ] && exit 0\nexit 3\n", 0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("fails", "#!/bin/sh\nexit 1\n", 0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("killed", "#!/bin/sh\nkill -9 $$\n", 0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("notexec", "#!/bin/sh\nexit 0\n", 0644)));
  EXPECT_FALSE(probe_ffmpeg(dir.file("missing")));
}

TEST(ProbeFfmpeg, HungProbeIsKilledAtTheLimit) {
  testing::TempDir dir;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(probe_ffmpeg(dir.write("hangs", "#!/bin/sh\nexec sleep 60\n", 0755),
                            process_launcher(), steady_clock(), std::chrono::milliseconds(300)));
  // Bounded by the limit, not by the program.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(ProbeFfmpegFake, AsksForTheVersionAndReadsTheExit) {
  struct Case {
    const char* what;
    int exit_after_polls;
    ChildExit exit;
    bool refuse;
    bool ready;
  };
  const Case cases[] = {
      {"exits 0 at once", 0, {0}, false, true},
      {"exits 0 later", 3, {0}, false, true},
      {"exits 1", 1, {1}, false, false},
      {"ended by a signal", 0, {std::nullopt}, false, false},
      {"cannot start", 0, {0}, true, false},
  };
  for (const Case& c : cases) {
    FakeLauncher launcher;
    FakeClock clock;
    launcher.on_launch = [&](FakeChild& child) {
      child.exit_after_polls = c.exit_after_polls;
      child.exit_as = c.exit;
      return c.refuse ? Status(Error("No such file or directory")) : Status();
    };
    EXPECT_EQ(c.ready, probe_ffmpeg("/x/ffmpeg", launcher, clock)) << c.what;
    EXPECT_EQ((std::vector<std::string>{"launch /x/ffmpeg"}), *launcher.log) << c.what;
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"-version"}}), launcher.launched_args);
    EXPECT_LT(clock.elapsed(), std::chrono::milliseconds(100)) << c.what;
  }
}

TEST(ProbeFfmpegFake, AProbeStillRunningAtTheLimitIsKilledAndReaped) {
  FakeLauncher launcher;
  FakeClock clock;
  EXPECT_FALSE(probe_ffmpeg("ffmpeg", launcher, clock, std::chrono::milliseconds(300)));
  EXPECT_EQ((std::vector<std::string>{"launch ffmpeg", "kill 100", "wait 100"}), *launcher.log);
  // Polled with pauses that grow to 20 ms: killed within one pause of the limit.
  EXPECT_GE(clock.elapsed(), std::chrono::milliseconds(300));
  EXPECT_LT(clock.elapsed(), std::chrono::milliseconds(320));
}

}  // namespace
}  // namespace wf::bridge
