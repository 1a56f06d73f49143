#include "bridge/encoder/encoder_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "bridge/encoder/fake_child.h"
#include "testing/temp_dir.h"

namespace wf::bridge {
namespace {

class StartEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    if (const char* t = std::getenv("TMPDIR"))
      saved_tmpdir_ = t;
    ::setenv("TMPDIR", dir_.path().c_str(), 1);
    ::setenv("FFMPEG_PATH", "/stand/in/ffmpeg", 1);
    // Children end as soon as their input closes, so rollbacks are quick.
    launcher_.on_launch = [](FakeChild& c) {
      c.exit_after_polls = 0;
      return Status();
    };
  }
  void TearDown() override {
    if (saved_tmpdir_) {
      ::setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    ::unsetenv("FFMPEG_PATH");
  }

  std::string log_path(uint64_t n) {
    return dir_.file("wrenfield-encoder-" + std::to_string(::getpid()) + "-" + std::to_string(n) +
                     ".log");
  }

  EncoderStartRequest parse(const std::string& text) {
    auto r = parse_encoder_start_request(text);
    EXPECT_TRUE(r.ok()) << text;
    return r.ok() ? r.value() : EncoderStartRequest{};
  }

  std::string failure(const std::string& text) {
    auto r = start_encoder(parse(text), launcher_);
    return r.ok() ? "ok" : r.error().message();
  }

  testing::TempDir dir_;
  std::optional<std::string> saved_tmpdir_;
  FakeLauncher launcher_;
};

TEST_F(StartEncoderTest, SkipsBlankUrlsAndNamesByIndex) {
  const uint64_t n = LOG_SEQUENCE.load();
  auto r = start_encoder(parse(R"({"outputs": [{"rtmpUrl": " \t "},
      {"rtmpUrl": "  rtmp://h/live/k  "}, {"rtmpUrl": "rtmp://h/live/m", "id": "main",
      "name": "Main"}]})"),
                         launcher_);
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(2u, r->size());
  EXPECT_EQ("legacy-output-1", (*r)[0].id);
  EXPECT_EQ("Output 2", (*r)[0].name);
  EXPECT_EQ("main", (*r)[1].id);
  EXPECT_EQ("Main", (*r)[1].name);
  EXPECT_EQ(0u, (*r)[0].bytes_received);
  EXPECT_EQ("rtmp://h/live/k", launcher_.launched_args[0].back());
  EXPECT_EQ((std::vector<std::string>{"launch /stand/in/ffmpeg", "launch /stand/in/ffmpeg"}),
            *launcher_.log);
  // One log file per started destination, numbered in sequence, owner-only.
  EXPECT_EQ(n + 2, LOG_SEQUENCE.load());
  EXPECT_EQ(log_path(n), (*r)[0].log_path);
  EXPECT_EQ(log_path(n + 1), (*r)[1].log_path);
  struct stat st {};
  ASSERT_EQ(0, ::stat(log_path(n).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  stop_encoder(*r);
}

TEST_F(StartEncoderTest, FailureTexts) {
  struct Case {
    const char* payload;
    const char* text;
  };
  const Case cases[] = {
      {R"({"outputs": []})", "no RTMP outputs configured"},
      {R"({"outputs": [], "inputFormat": "mov"})", "no RTMP outputs configured"},
      {R"({"outputs": [{"rtmpUrl": "u"}], "inputFormat": "MP4"})",
       "Unsupported program input format"},
      {R"({"outputs": [{"rtmpUrl": "  "}, {"rtmpUrl": ""}]})", "no valid RTMP outputs configured"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": ""}]})", "Invalid or duplicate destination ID"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": "a.b"}]})", "Invalid or duplicate destination ID"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": "a"}, {"rtmpUrl": "v", "id": "a"}]})",
       "Invalid or duplicate destination ID"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": "legacy-output-1"}, {"rtmpUrl": "v"}]})",
       "Invalid or duplicate destination ID"},
      {R"({"outputs": [{"rtmpUrl": "u", "resolution": "4K"}]})",
       "Unsupported destination resolution"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, failure(c.payload)) << c.payload;
  }
  // A skipped destination's ID takes no part in the duplicate check.
  EXPECT_EQ("ok",
            failure(R"({"outputs": [{"rtmpUrl": " ", "id": "a"}, {"rtmpUrl": "v", "id": "a"}]})"));
}

TEST_F(StartEncoderTest, RollsBackWhenALaterDestinationFails) {
  const uint64_t n = LOG_SEQUENCE.load();
  auto r = start_encoder(parse(R"({"outputs": [{"rtmpUrl": "a"}, {"rtmpUrl": "b",
      "resolution": "8k"}, {"rtmpUrl": "c"}]})"),
                         launcher_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ("Unsupported destination resolution", r.error().message());
  // The first child was started and has been stopped: its input is closed.
  EXPECT_EQ((std::vector<std::string>{"launch /stand/in/ffmpeg"}), *launcher_.log);
  ASSERT_EQ(1u, launcher_.readers.size());
  char c;
  EXPECT_EQ(0, ::read(launcher_.readers[0].get(), &c, 1));
  EXPECT_TRUE(std::filesystem::exists(log_path(n)));
  EXPECT_EQ(0u, std::filesystem::file_size(log_path(n + 1)));
  EXPECT_FALSE(std::filesystem::exists(log_path(n + 2)));
}

TEST_F(StartEncoderTest, LaunchFailureNamesTheDestination) {
  launcher_.on_launch = [](FakeChild& c) {
    c.exit_after_polls = 0;
    return c.pid() == 101 ? Status(Error("No such file or directory")) : Status();
  };
  EXPECT_EQ("could not start FFmpeg for Backup; install FFmpeg or set FFMPEG_PATH",
            failure(R"({"outputs": [{"rtmpUrl": "a"}, {"rtmpUrl": "b", "name": "Backup"}]})"));
}

TEST_F(StartEncoderTest, RefusesALogPathThatIsASymbolicLink) {
  const std::string victim = dir_.write("victim", "keep me");
  ASSERT_EQ(0, ::symlink(victim.c_str(), log_path(LOG_SEQUENCE.load()).c_str()));
  EXPECT_EQ(std::strerror(ELOOP), failure(R"({"outputs": [{"rtmpUrl": "a"}]})"));
  EXPECT_EQ("keep me", testing::readFile(victim));
  EXPECT_TRUE(launcher_.log->empty());
}

TEST_F(StartEncoderTest, TightensAnExistingLogFile) {
  const std::string path = log_path(LOG_SEQUENCE.load());
  dir_.write(path.substr(dir_.path().size() + 1), "old content", 0666);
  auto r = start_encoder(parse(R"({"outputs": [{"rtmpUrl": "a"}]})"), launcher_);
  ASSERT_TRUE(r.ok());
  struct stat st {};
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(0, st.st_size);
  stop_encoder(*r);
}

std::vector<EncoderProcess> fake_outputs(FakeEventLog log, std::vector<int> exit_after_polls,
                                         std::vector<UniqueFd>& readers) {
  std::vector<EncoderProcess> out;
  for (size_t i = 0; i < exit_after_polls.size(); ++i) {
    int fds[2];
    EXPECT_EQ(0, ::pipe2(fds, O_CLOEXEC));
    readers.emplace_back(fds[0]);
    auto child = std::make_unique<FakeChild>(static_cast<int>(i) + 1, log);
    child->exit_after_polls = exit_after_polls[i];
    out.push_back(
        EncoderProcess{"id" + std::to_string(i), "n", std::move(child), UniqueFd(fds[1]), "", 0});
  }
  return out;
}

TEST(StopEncoder, SharesOneGracePeriodThenKillsInOrder) {
  auto log = std::make_shared<std::vector<std::string>>();
  std::vector<UniqueFd> readers;
  auto outputs = fake_outputs(log, {-1, 0, -1, -1}, readers);
  const auto start = std::chrono::steady_clock::now();
  stop_encoder(outputs, std::chrono::milliseconds(300));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(outputs.empty());
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::milliseconds(800));  // one grace period, not three
  EXPECT_EQ((std::vector<std::string>{"kill 1", "wait 1", "kill 3", "wait 3", "kill 4", "wait 4"}),
            *log);  // the second had ended by itself
  // Every input was closed.
  for (auto& r : readers) {
    char c;
    EXPECT_EQ(0, ::read(r.get(), &c, 1));
  }
}

TEST(StopEncoder, ChildrenThatEndPromptlyAreNotKilled) {
  auto log = std::make_shared<std::vector<std::string>>();
  std::vector<UniqueFd> readers;
  auto outputs = fake_outputs(log, {0, 2, 1}, readers);
  const auto start = std::chrono::steady_clock::now();
  stop_encoder(outputs, std::chrono::seconds(10));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(log->empty());
  std::vector<EncoderProcess> none;
  stop_encoder(none);
}

}  // namespace
}  // namespace wf::bridge
