#include "bridge/encoder/encoder_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "bridge/core/fake_clock.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/encoder/fake_feed_pipe.h"
#include "bridge/encoder/feed.h"
#include "testing/temp_dir.h"
#include "testing/wait_for.h"

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
  EXPECT_EQ(0u, (*r)[0].bytes_received());
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

TEST_F(StartEncoderTest, AChildWithoutAnInputPipeIsEndedAndFailsTheLaunch) {
  launcher_.on_launch = [](FakeChild&) { return Status(); };  // it would run on
  launcher_.without_stdin = true;
  EXPECT_EQ("FFmpeg stdin unavailable for Main",
            failure(R"({"outputs": [{"rtmpUrl": "a", "name": "Main"}]})"));
  EXPECT_EQ((std::vector<std::string>{"launch /stand/in/ffmpeg", "kill 100", "wait 100"}),
            *launcher_.log);
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

size_t entries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir))
    ++n;
  return n;
}

TEST_F(StartEncoderTest, NoWriterThreadOrPipeOutlivesItsOutput) {
  const size_t threads = entries("/proc/self/task");
  const size_t fds = entries("/proc/self/fd");
  auto r = start_encoder(parse(R"({"outputs": [{"rtmpUrl": "a"}, {"rtmpUrl": "b"},
      {"rtmpUrl": "c"}]})"),
                         launcher_);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(threads + 3, entries("/proc/self/task"));  // one writer each
  EncoderList list;
  list.processes() = std::move(*r);
  // The first output stops reading and fails; the others stay fed.
  launcher_.readers[0].reset();
  ASSERT_TRUE(write_encoder_chunk_target(list, std::make_shared<const std::string>("abc"), {}));
  EXPECT_EQ(2u, list.processes().size());
  stop_encoder(list.processes());
  launcher_.readers.clear();
  EXPECT_EQ(threads, entries("/proc/self/task"));
  EXPECT_EQ(fds, entries("/proc/self/fd"));
}

// Outputs over fake pipes with children that end after the given number of
// status queries (never when negative).
struct FakeOutputs {
  FakeEventLog log = std::make_shared<std::vector<std::string>>();
  FakeClock clock;
  std::vector<std::shared_ptr<FakePipeState>> pipes;
  std::vector<EncoderProcess> list;

  FakeOutputs(std::vector<int> exit_after_polls, size_t room = std::numeric_limits<size_t>::max()) {
    for (size_t i = 0; i < exit_after_polls.size(); ++i) {
      auto child = std::make_unique<FakeChild>(static_cast<int>(i) + 1, log);
      child->exit_after_polls = exit_after_polls[i];
      pipes.push_back(std::make_shared<FakePipeState>());
      pipes.back()->room = room;
      list.push_back(EncoderProcess{
          "id" + std::to_string(i), "n", std::move(child),
          std::make_unique<FeedWriter>(std::make_unique<FakeFeedPipe>(pipes.back()), clock), ""});
    }
  }
  ~FakeOutputs() { list.clear(); }
};

TEST(StopEncoder, SharesOneGracePeriodThenKillsInOrder) {
  FakeOutputs f({-1, 0, -1, -1});
  stop_encoder(f.list, f.clock, std::chrono::milliseconds(300));
  EXPECT_TRUE(f.list.empty());
  EXPECT_EQ(std::chrono::milliseconds(300), f.clock.elapsed());  // one grace period, not three
  EXPECT_EQ((std::vector<std::string>{"kill 1", "wait 1", "kill 3", "wait 3", "kill 4", "wait 4"}),
            *f.log);  // the second had ended by itself
  for (auto& pipe : f.pipes) {
    EXPECT_TRUE(pipe->is_closed());
  }
}

TEST(StopEncoder, ChildrenThatEndPromptlyAreNotKilled) {
  FakeOutputs f({0, 2, 1});
  stop_encoder(f.list, f.clock, std::chrono::seconds(10));
  // Polled every 10 ms: twice for the second child, once more for the third.
  EXPECT_EQ(std::chrono::milliseconds(30), f.clock.elapsed());
  EXPECT_TRUE(f.log->empty());
  std::vector<EncoderProcess> none;
  stop_encoder(none, f.clock);
  EXPECT_EQ(std::chrono::milliseconds(30), f.clock.elapsed());
}

TEST(StopEncoder, QueuedFeedGoesInBeforeTheInputCloses) {
  FakeOutputs f({0}, 0);
  ASSERT_TRUE(f.list[0].feed->offer(std::make_shared<const std::string>("queued")));
  f.clock.on_sleep = [&] {
    EXPECT_FALSE(f.pipes[0]->is_closed());
    f.pipes[0]->make_room(100);
    wf::testing::waitFor([&] { return f.pipes[0]->taken() == "queued"; }, std::chrono::seconds(30),
                         "the queued feed");
  };
  stop_encoder(f.list, f.clock);
  EXPECT_EQ("queued", f.pipes[0]->taken());
  EXPECT_TRUE(f.pipes[0]->is_closed());
  EXPECT_TRUE(f.log->empty());
}

TEST(StopEncoder, AStuckWriterHoldsNoOtherInputAndNothingPastTheGrace) {
  FakeOutputs f({-1, 0}, 0);
  for (auto& p : f.list) {
    ASSERT_TRUE(p.feed->offer(std::make_shared<const std::string>("feed")));
  }
  f.pipes[1]->make_room(100);  // only the second output's child reads
  bool second_closed_first = false;
  f.clock.on_sleep = [&] {
    wf::testing::waitFor([&] { return f.pipes[1]->taken() == "feed"; }, std::chrono::seconds(30),
                         "the second output's feed");
    if (f.clock.sleeps == 2) {
      second_closed_first = f.pipes[1]->is_closed() && !f.pipes[0]->is_closed();
    }
  };
  stop_encoder(f.list, f.clock, std::chrono::milliseconds(500));
  EXPECT_TRUE(second_closed_first);
  EXPECT_EQ(std::chrono::milliseconds(500), f.clock.elapsed());
  EXPECT_EQ((std::vector<std::string>{"kill 1", "wait 1"}), *f.log);
  EXPECT_TRUE(f.pipes[0]->is_closed());
  EXPECT_EQ("", f.pipes[0]->taken());
}

}  // namespace
}  // namespace wf::bridge
