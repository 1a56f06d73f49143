#include "bridge/encoder/ffmpeg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "testing/temp_dir.h"

namespace wf::bridge {
namespace {

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
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
  ::unsetenv("FFMPEG_PATH");
  // Nothing beside the test binary or in the fixed places on this machine:
  // the bare name, searched in PATH at start.
  std::string fallback = resolve_ffmpeg();
  EXPECT_TRUE(fallback == "ffmpeg" || fallback == "/usr/local/bin/ffmpeg" ||
              fallback == "/opt/homebrew/bin/ffmpeg")
      << fallback;
}

TEST(ProbeFfmpeg, ReadyOnlyForExitStatusZero) {
  testing::TempDir dir;
  EXPECT_TRUE(probe_ffmpeg(dir.write("ok", "#!/bin/sh\n[ \"$1\" = -version ] && exit 0\nexit 3\n",
                                     0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("fails", "#!/bin/sh\nexit 1\n", 0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("killed", "#!/bin/sh\nkill -9 $$\n", 0755)));
  EXPECT_FALSE(probe_ffmpeg(dir.write("notexec", "#!/bin/sh\nexit 0\n", 0644)));
  EXPECT_FALSE(probe_ffmpeg(dir.file("missing")));
}

TEST(ProbeFfmpeg, HungProbeIsKilledAtTheLimit) {
  testing::TempDir dir;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(probe_ffmpeg(dir.write("hangs", "#!/bin/sh\nexec sleep 60\n", 0755),
                            std::chrono::milliseconds(300)));
  // Bounded by the limit, not by the program.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace wf::bridge
