// The encoder routes end to end, against stand-in encoder programs: one
// shell script whose behaviour follows the destination URL
// "rtmp://host/<mode>/<name>" and which leaves its traces in STUB_DIR.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge/tests/encoder_harness.h"

namespace wf::encoder_test {
namespace {

using nlohmann::json;

// Modes: record (count the input to its end, note which stand-ins are
// running at that moment, leave "<name>.done" as its last act, then exit 0), copy (become a `cat`
// that keeps the input in "<name>.feed"), hang (become a `sleep` that never reads its input),
// stubborn (read to the end, then keep running), exit1 (exit 1 at once), signal (killed by SIGKILL
// at once).
const char* const STAND_IN = R"(#!/bin/sh
for url; do :; done
rest=${url#*://*/}
mode=${rest%%/*}
name=${rest#*/}
out="$STUB_DIR/$name"
ls -l /proc/self/fd > "$out.fds"
date +%s%N > "$out.start"
printf '%s\n' "$@" > "$out.args.tmp" && mv "$out.args.tmp" "$out.args"
echo "Output #0, flv, to '$url':" >&2
echo "stand-in $mode running" >&2
case "$mode" in
  exit1) exit 1 ;;
  signal) kill -KILL $$ ;;
  stubborn) cat > /dev/null; date +%s%N > "$out.eof"; exec sleep 60 ;;
  copy) exec cat > "$out.feed" ;;
  hang) exec sleep 600 ;;
esac
n=$(wc -c)
cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\0' '\n' | grep '^rtmp://' > "$out.peers"
date +%s%N > "$out.eof"
echo "$n" > "$out.bytes.tmp" && mv "$out.bytes.tmp" "$out.bytes"
echo "stand-in read $n bytes" >&2
: > "$out.done"
)";

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stub_dir_ = dir_.file("stub");
    std::filesystem::create_directory(stub_dir_);
    logs_ = dir_.file("logs");
    std::filesystem::create_directory(logs_);
    const std::string program = dir_.write("ffmpeg-standin", STAND_IN, 0755);
    bridge_ = EncoderBridge::start(logs_, {{"FFMPEG_PATH", program}, {"STUB_DIR", stub_dir_}});
    ASSERT_TRUE(bridge_);
  }

  static std::string url(const std::string& mode, const std::string& name) {
    return "rtmp://127.0.0.1/" + mode + "/" + name;
  }
  static json destination(const std::string& id, const std::string& mode, const std::string& name) {
    return {{"id", id}, {"name", "Out " + id}, {"rtmpUrl", url(mode, name)}};
  }
  Reply start(const std::vector<json>& outputs, json extra = json::object()) {
    extra["outputs"] = outputs;
    return bridge_->post("/encoder/start", extra.dump());
  }
  Reply start_one(const std::string& id, const std::string& mode, const std::string& name) {
    return bridge_->post("/encoder/output/start",
                         json{{"outputs", {destination(id, mode, name)}}}.dump());
  }
  std::string trace(const std::string& name, const std::string& kind) {
    return testing::readFile(stub_dir_ + "/" + name + "." + kind);
  }
  bool wait_trace(const std::string& name, const std::string& kind) {
    return wait_file(stub_dir_ + "/" + name + "." + kind);
  }
  std::vector<std::string> ids() {
    std::vector<std::string> out;
    for (auto& o : bridge_->outputs())
      out.push_back(o["id"]);
    return out;
  }
  std::string message(const Reply& r) { return r.json().value("error", std::string()); }

  testing::TempDir dir_;
  std::string stub_dir_;
  std::string logs_;
  std::unique_ptr<EncoderBridge> bridge_;
};

const char* const FEED_STOPPED =
    "Encoder stopped accepting the program feed. Check FFmpeg installation, destination key and "
    "network connection.";

TEST_F(StandInTest, FeedsEveryOutputAndCountsItsBytes) {
  Reply r = start({destination("a", "record", "a"),
                   {{"rtmpUrl", "  " + url("record", "b") + " "}, {"resolution", "720p"}}});
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(R"({"ok":true,"outputs":["Out a","Output 2"]})", r.body);

  std::string chunk(100 * 1024, '\0');
  for (size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = static_cast<char>(i * 7 + 3);
  const int n = 6;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(200, bridge_->post("/encoder/chunk", chunk).status);
  }
  // An empty chunk changes nothing.
  EXPECT_EQ(R"({"ok":true})", bridge_->post("/encoder/chunk").body);

  // The writers count a chunk once it is in the pipe.
  ASSERT_TRUE(bridge_->wait_status([&](const json& s) {
    return s["outputs"].size() == 2 && s["outputs"][0]["bytesReceived"] == n * chunk.size() &&
           s["outputs"][1]["bytesReceived"] == n * chunk.size();
  })) << bridge_->status();
  json outputs = bridge_->outputs();
  EXPECT_EQ("legacy-output-1", outputs[1]["id"]);
  for (auto& o : outputs) {
    EXPECT_EQ(true, o["running"]);
  }
  ASSERT_TRUE(wait_trace("b", "args"));
  std::istringstream args(trace("b", "args"));
  std::vector<std::string> argv;
  for (std::string line; std::getline(args, line);)
    argv.push_back(line);
  ASSERT_EQ(51u, argv.size());  // silent audio with -shortest, and scaling
  EXPECT_EQ(url("record", "b"), argv.back());
  EXPECT_EQ("scale=1280:720", argv[19]);

  EXPECT_EQ(R"({"ok":true})", bridge_->post("/encoder/stop").body);
  EXPECT_EQ(json::array(), bridge_->outputs());
  for (const char* name : {"a", "b"}) {
    ASSERT_TRUE(wait_trace(name, "bytes"));
    EXPECT_EQ(std::to_string(n * chunk.size()) + "\n", trace(name, "bytes"));
  }
}

TEST_F(StandInTest, LogsAreOwnerOnlyAndNamedBySequence) {
  ASSERT_EQ(200, start({destination("a", "record", "a"), destination("b", "record", "b")}).status);
  std::vector<std::string> logs;
  for (auto& e : std::filesystem::directory_iterator(logs_))
    logs.push_back(e.path().filename());
  std::sort(logs.begin(), logs.end());
  ASSERT_EQ(2u, logs.size());
  const std::string prefix = "wrenfield-encoder-" + std::to_string(bridge_->child.pid()) + "-";
  EXPECT_EQ(prefix + "0.log", logs[0]);
  EXPECT_EQ(prefix + "1.log", logs[1]);
  struct stat st {};
  ASSERT_EQ(0, ::stat((logs_ + "/" + logs[0]).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(StandInTest, ChildrenInheritNoOtherDescriptors) {
  ASSERT_EQ(200, start({destination("a", "record", "a"), destination("b", "record", "b")}).status);
  ASSERT_TRUE(wait_trace("b", "args"));
  // Beyond its standard streams the listing holds only the directory that ls
  // reads: no pipe of the other child, no socket, no other log.
  std::istringstream fds(trace("b", "fds"));
  int extra = 0;
  for (std::string line; std::getline(fds, line);) {
    auto arrow = line.find(" -> ");
    if (arrow == std::string::npos)
      continue;
    std::string fd = line.substr(0, arrow);
    fd = fd.substr(fd.rfind(' ') + 1);
    if (fd == "0" || fd == "1" || fd == "2")
      continue;
    ++extra;
    EXPECT_NE(std::string::npos, line.find("/proc/")) << line;
  }
  EXPECT_LE(extra, 1);
}

TEST_F(StandInTest, ReplacementStartsNewChildrenBeforeStoppingOldOnes) {
  ASSERT_EQ(200, start({destination("a", "record", "old")}).status);
  const json before = bridge_->outputs();
  ASSERT_TRUE(wait_trace("old", "args"));
  Reply r = start({destination("a", "record", "new")});
  ASSERT_EQ(200, r.status);
  EXPECT_EQ(R"({"ok":true,"outputs":["Out a"]})", r.body);
  const json after = bridge_->outputs();
  ASSERT_EQ(1u, after.size());
  EXPECT_NE(before[0]["processId"], after[0]["processId"]);
  // When the old child saw the end of its input, the new one was running.
  ASSERT_TRUE(wait_trace("old", "eof"));
  EXPECT_NE(std::string::npos, trace("old", "peers").find(url("record", "new") + "\n"))
      << trace("old", "peers");
}

TEST_F(StandInTest, FailedLaunchRollsBackItsOwnChildrenOnly) {
  ASSERT_EQ(200, start({destination("keep", "record", "keep")}).status);
  const json before = bridge_->outputs();
  Reply r = start({destination("a", "record", "first"),
                   {{"id", "b"}, {"rtmpUrl", url("record", "second")}, {"resolution", "8k"}},
                   destination("c", "record", "third")});
  EXPECT_EQ(503, r.status);
  EXPECT_EQ("Unsupported destination resolution", message(r));
  // The first child was started and then stopped; the third never started.
  ASSERT_TRUE(wait_trace("first", "eof"));
  EXPECT_FALSE(std::filesystem::exists(stub_dir_ + "/second.start"));
  EXPECT_FALSE(std::filesystem::exists(stub_dir_ + "/third.start"));
  const std::string log = logs_ + "/wrenfield-encoder-" + std::to_string(bridge_->child.pid());
  EXPECT_TRUE(std::filesystem::exists(log + "-1.log"));
  EXPECT_EQ(0u, std::filesystem::file_size(log + "-2.log"));
  EXPECT_FALSE(std::filesystem::exists(log + "-3.log"));
  // The running output is untouched.
  const json after = bridge_->outputs();
  ASSERT_EQ(1u, after.size());
  EXPECT_EQ(before[0]["processId"], after[0]["processId"]);
  EXPECT_EQ(true, after[0]["running"]);
}

TEST_F(StandInTest, LaunchFailureTexts) {
  struct Case {
    std::string body;
    int status;
    std::string error;
  };
  const Case cases[] = {
      {R"({"outputs": []})", 503, "no RTMP outputs configured"},
      {R"({"fps": 30})", 400, "Invalid encoder settings"},
      {R"({"outputs": [], "outputs": []})", 400, "Invalid encoder settings"},
      {R"({"outputs": [{"rtmpUrl": "   "}]})", 503, "no valid RTMP outputs configured"},
      {R"({"outputs": [{"rtmpUrl": "u"}], "inputFormat": "mov"})", 503,
       "Unsupported program input format"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": "a b"}]})", 503,
       "Invalid or duplicate destination ID"},
  };
  for (const Case& c : cases) {
    Reply r = bridge_->post("/encoder/start", c.body);
    EXPECT_EQ(c.status, r.status) << c.body;
    EXPECT_EQ(c.error, message(r)) << c.body;
  }
  EXPECT_EQ(json::array(), bridge_->outputs());
}

TEST_F(StandInTest, MissingProgramFailsTheLaunch) {
  auto bridge = EncoderBridge::start(logs_, {{"FFMPEG_PATH", dir_.file("no-such-ffmpeg")}});
  ASSERT_TRUE(bridge);
  Reply r = bridge->post("/encoder/start", R"({"outputs": [{"rtmpUrl": "u", "name": "Main"}]})");
  EXPECT_EQ(503, r.status);
  EXPECT_EQ(R"({"error":"could not start FFmpeg for Main; install FFmpeg or set FFMPEG_PATH"})",
            r.body);
  EXPECT_EQ(json::array(), bridge->outputs());
}

TEST_F(StandInTest, OutputStartReplacesOneIdAndMovesItLast) {
  ASSERT_EQ(200, start({destination("a", "record", "a1"), destination("b", "record", "b")}).status);
  const json before = bridge_->outputs();
  Reply r = start_one("a", "record", "a2");
  ASSERT_EQ(200, r.status) << r.body;
  EXPECT_EQ(R"({"ok":true})", r.body);
  const json after = bridge_->outputs();
  ASSERT_EQ(2u, after.size());
  EXPECT_EQ("b", after[0]["id"]);
  EXPECT_EQ(before[1]["processId"], after[0]["processId"]);
  EXPECT_EQ("a", after[1]["id"]);
  EXPECT_NE(before[0]["processId"], after[1]["processId"]);
  ASSERT_TRUE(wait_trace("a1", "eof"));  // the old child got end of input

  ASSERT_EQ(200, start_one("c", "record", "c").status);
  EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), ids());

  struct Case {
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {"not json", "Invalid destination settings"},
      {R"({"outputs": [{"id": "x"}]})", "Invalid destination settings"},
      {R"({"outputs": []})", "One destination with a stable ID is required"},
      {R"({"outputs": [{"rtmpUrl": "u"}]})", "One destination with a stable ID is required"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": ""}]})",
       "One destination with a stable ID is required"},
      {R"({"outputs": [{"rtmpUrl": "u", "id": "x"}, {"rtmpUrl": "v", "id": "y"}]})",
       "One destination with a stable ID is required"},
  };
  for (const Case& c : cases) {
    Reply r = bridge_->post("/encoder/output/start", c.body);
    EXPECT_EQ(400, r.status) << c.body;
    EXPECT_EQ(c.error, message(r)) << c.body;
  }
  EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), ids());
}

TEST_F(StandInTest, StopSharesOneGracePeriodOverStubbornChildren) {
  ASSERT_EQ(200, start({destination("a", "stubborn", "a"), destination("b", "stubborn", "b"),
                        destination("c", "stubborn", "c")})
                     .status);
  std::vector<int> pids;
  for (auto& o : bridge_->outputs())
    pids.push_back(o["processId"]);
  for (const char* name : {"a", "b", "c"})
    ASSERT_TRUE(wait_trace(name, "args"));
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  // Every input was closed before the kills: each child read to its end,
  // then was killed and reaped. (The one shared grace period is pinned on a
  // fake clock beside the stop procedure.)
  for (const char* name : {"a", "b", "c"}) {
    EXPECT_TRUE(std::filesystem::exists(stub_dir_ + "/" + name + ".eof")) << name;
  }
  for (int pid : pids) {
    EXPECT_NE(0, ::kill(pid, 0)) << "child " << pid << " survived";
  }
  EXPECT_EQ(json::array(), bridge_->outputs());
}

TEST_F(StandInTest, StopReturnsAsSoonAsChildrenEnd) {
  ASSERT_EQ(200, start({destination("a", "record", "a"), destination("b", "record", "b")}).status);
  for (const char* name : {"a", "b"})
    ASSERT_TRUE(wait_trace(name, "args"));
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  // Not killed: both read to their end and finished by themselves.
  for (const char* name : {"a", "b"})
    EXPECT_TRUE(std::filesystem::exists(stub_dir_ + "/" + name + ".done")) << name;
  EXPECT_EQ(R"({"ok":true})", bridge_->post("/encoder/stop").body);
}

TEST_F(StandInTest, StatusShowsExitsAndWithholdsUrls) {
  ASSERT_EQ(200, start({destination("run", "record", "run"), destination("one", "exit1", "one"),
                        destination("sig", "signal", "sig")})
                     .status);
  ASSERT_TRUE(bridge_->wait_status([](const json& s) {
    return s["outputs"][1]["running"] == false && s["outputs"][2]["running"] == false;
  }));
  const Reply raw = bridge_->request("GET", "/encoder/status");
  EXPECT_EQ(std::string::npos, raw.body.find("rtmp://"));
  const json outputs = raw.json()["outputs"];
  ASSERT_EQ(3u, outputs.size());
  EXPECT_EQ(true, outputs[0]["running"]);
  EXPECT_EQ(nullptr, outputs[0]["exitCode"]);
  EXPECT_EQ(1, outputs[1]["exitCode"]);
  EXPECT_EQ("stand-in exit1 running", outputs[1]["diagnostic"]);
  EXPECT_EQ(nullptr, outputs[2]["exitCode"]);
  EXPECT_EQ("Out sig", outputs[2]["name"]);
  // Keys in ascending order.
  EXPECT_EQ(0u, raw.body.find(R"({"ok":true,"outputs":[{"bytesReceived":0,"diagnostic":)"));
}

TEST_F(StandInTest, DeletedLogGivesAnEmptyDiagnostic) {
  ASSERT_EQ(200, start({destination("one", "exit1", "one")}).status);
  ASSERT_TRUE(
      bridge_->wait_status([](const json& s) { return s["outputs"][0]["running"] == false; }));
  for (auto& e : std::filesystem::directory_iterator(logs_))
    std::filesystem::remove(e.path());
  const json o = bridge_->outputs()[0];
  EXPECT_EQ("", o["diagnostic"]);
  EXPECT_EQ(1, o["exitCode"]);
}

TEST_F(StandInTest, FailedWritesDropOutputs) {
  ASSERT_EQ(200, start({destination("A", "record", "A"), destination("B", "exit1", "B"),
                        destination("C", "record", "C")})
                     .status);
  ASSERT_TRUE(
      bridge_->wait_status([](const json& s) { return s["outputs"][1]["running"] == false; }));
  const int b_pid = bridge_->outputs()[1]["processId"];

  // Targeted at the failed output: it goes, the others are untouched.
  Reply r = bridge_->post("/encoder/chunk", "data", {{"X-Wrenfield-Destination", "B"}});
  EXPECT_EQ(502, r.status);
  EXPECT_EQ(FEED_STOPPED, message(r));
  EXPECT_EQ((std::vector<std::string>{"A", "C"}), ids());
  for (auto& o : bridge_->outputs())
    EXPECT_EQ(0, o["bytesReceived"]);
  EXPECT_NE(0, ::kill(b_pid, 0));

  // Named in lower case, the header still selects.
  EXPECT_EQ(200,
            bridge_->post("/encoder/chunk", "12345", {{"x-wrenfield-destination", "C"}}).status);
  ASSERT_TRUE(
      bridge_->wait_status([](const json& s) { return s["outputs"][1]["bytesReceived"] == 5; }));
  EXPECT_EQ(0, bridge_->outputs()[0]["bytesReceived"]);

  for (const std::string& target :
       {std::string(), std::string(121, 'A'), std::string("B"), std::string("a")}) {
    EXPECT_EQ(502,
              bridge_->post("/encoder/chunk", "x", {{"X-Wrenfield-Destination", target}}).status)
        << target;
  }
  EXPECT_EQ(0, bridge_->outputs()[0]["bytesReceived"]);
}

TEST_F(StandInTest, UntargetedChunkDropsTheFailedOutputAndSucceeds) {
  ASSERT_EQ(200, start({destination("A", "record", "A"), destination("B", "exit1", "B"),
                        destination("C", "record", "C")})
                     .status);
  ASSERT_TRUE(
      bridge_->wait_status([](const json& s) { return s["outputs"][1]["running"] == false; }));
  EXPECT_EQ(200, bridge_->post("/encoder/chunk", "abc").status);
  EXPECT_EQ((std::vector<std::string>{"A", "C"}), ids());
  EXPECT_TRUE(bridge_->wait_status([](const json& s) {
    return s["outputs"][0]["bytesReceived"] == 3 && s["outputs"][1]["bytesReceived"] == 3;
  }));
}

TEST_F(StandInTest, LastOutputFailingLeavesNothingRunning) {
  EXPECT_EQ(502, bridge_->post("/encoder/chunk", "x").status);
  EXPECT_EQ(502, bridge_->post("/encoder/chunk").status);
  EXPECT_EQ(502, bridge_->post("/encoder/chunk", "", {{"X-Wrenfield-Destination", "a"}}).status);
  ASSERT_EQ(200, start({destination("one", "signal", "one")}).status);
  ASSERT_TRUE(
      bridge_->wait_status([](const json& s) { return s["outputs"][0]["running"] == false; }));
  EXPECT_EQ(502, bridge_->post("/encoder/chunk", "x").status);
  EXPECT_EQ(json::array(), bridge_->outputs());
  EXPECT_EQ(502, bridge_->post("/encoder/chunk", "x").status);
}

TEST_F(StandInTest, OutputStopRemovesOneOutput) {
  ASSERT_EQ(200, start({destination("a", "record", "a"), destination("b", "record", "b"),
                        destination("c", "record", "c")})
                     .status);
  for (const std::string& body :
       {std::string(R"({"id": 5})"), std::string("not json"), std::string("{}"),
        std::string(R"(["a"])"), R"({"id": ")" + std::string(121, 'a') + R"("})",
        std::string(R"({"id": ""})")}) {
    Reply r = bridge_->post("/encoder/output/stop", body);
    EXPECT_EQ(400, r.status) << body;
    EXPECT_EQ("Destination ID required", message(r)) << body;
  }
  EXPECT_EQ(R"({"ok":true})", bridge_->post("/encoder/output/stop", R"({"id": "zzz"})").body);
  EXPECT_EQ(200, bridge_->post("/encoder/output/stop", R"({"id": "b"})").status);
  EXPECT_EQ((std::vector<std::string>{"a", "c"}), ids());
  ASSERT_TRUE(wait_trace("b", "bytes"));  // its input was closed
}

// A destination that stops reading, without exiting, holds up nothing but
// itself.
class StuckOutputTest : public StandInTest {
 protected:
  int pid_of(const std::string& id) {
    for (auto& o : bridge_->outputs()) {
      if (o["id"] == id)
        return o["processId"];
    }
    return 0;
  }
  uint64_t bytes_of(const std::string& id) {
    for (auto& o : bridge_->outputs()) {
      if (o["id"] == id)
        return o["bytesReceived"];
    }
    return 0;
  }
  // The next piece of a feed that differs at every byte offset.
  std::string piece(size_t size) {
    std::string out(size, '\0');
    for (char& c : out)
      c = static_cast<char>((sent_.size() + (&c - out.data())) * 131 + 7);
    sent_ += out;
    return out;
  }

  std::string sent_;
};

TEST_F(StuckOutputTest, FeedRepliesAndOtherRoutesDoNotWaitAndTheOtherOutputStaysFed) {
  ASSERT_EQ(
      200,
      start({destination("live", "copy", "live"), destination("stuck", "copy", "stuck")}).status);
  for (const char* name : {"live", "stuck"})
    ASSERT_TRUE(wait_trace(name, "args"));
  const int stuck_pid = pid_of("stuck");
  ASSERT_GT(stuck_pid, 0);

  // About 5 Mbit/s in real time: 64 KiB every 100 ms. A second of it, then
  // the stuck child stops reading.
  const auto feed = [&](int chunks) {
    for (int i = 0; i < chunks; ++i) {
      const std::string bytes = piece(64 * 1024);
      Reply r = bridge_->post("/encoder/chunk", bytes);
      ASSERT_EQ(200, r.status) << r.body;
      std::this_thread::sleep_for(100ms);
    }
  };
  feed(10);
  ASSERT_EQ(0, ::kill(stuck_pid, SIGSTOP));

  // While the child holds, every route answers and the live output keeps
  // taking the feed; after a while the stuck output is dropped. A reply that
  // waited on the stuck pipe would come only once the output is gone, so
  // replies that come while it is still listed show that nothing waited.
  uint64_t live_before = bytes_of("live");
  int rounds_while_listed = 0;
  bool dropped = false;
  for (int round = 0; round < 300 && !dropped; ++round) {
    feed(5);
    EXPECT_EQ(200, bridge_->request("GET", "/health").status);
    EXPECT_NE(0, bridge_->request("GET", "/meters").status);
    const json outputs = bridge_->request("GET", "/encoder/status").json()["outputs"];
    const uint64_t live_now = bytes_of("live");
    EXPECT_GT(live_now, live_before);
    live_before = live_now;
    if (outputs.size() == 1) {
      dropped = true;
      EXPECT_EQ("live", outputs[0]["id"]);
    } else {
      ++rounds_while_listed;
    }
  }
  ASSERT_TRUE(dropped) << "the stuck output was never dropped";
  EXPECT_GE(rounds_while_listed, 1);
  std::printf("rounds answered while the stuck output was listed: %d\n", rounds_while_listed);
  // Killed and reaped: the process is gone, not left stopped.
  EXPECT_TRUE(testing::waitFor([&] { return ::kill(stuck_pid, 0) != 0; }, 10s, "the stuck child"));

  feed(3);
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  ASSERT_TRUE(testing::waitFor([&] { return trace("live", "feed").size() >= sent_.size(); }, 20s,
                               "the live output's copy"));
  EXPECT_TRUE(trace("live", "feed") == sent_) << "the live output's feed differs";
}

TEST_F(StuckOutputTest, StopWhileAnOutputIsStuckKillsItAndFlushesTheOthers) {
  ASSERT_EQ(
      200,
      start({destination("stuck", "hang", "stuck"), destination("live", "copy", "live")}).status);
  for (const char* name : {"live", "stuck"})
    ASSERT_TRUE(wait_trace(name, "args"));
  const int stuck_pid = pid_of("stuck");
  // More than the stuck pipe holds, so a backlog waits behind it.
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(200, bridge_->post("/encoder/chunk", piece(256 * 1024)).status);
  }
  // The stop returns although a writer is stuck: the grace ends in a kill.
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  EXPECT_EQ(json::array(), bridge_->outputs());
  EXPECT_NE(0, ::kill(stuck_pid, 0));
  // The live output got the whole feed before its input closed.
  EXPECT_TRUE(trace("live", "feed") == sent_)
      << trace("live", "feed").size() << " of " << sent_.size();
}

size_t entries(const std::string& dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir))
    ++n;
  return n;
}

// What a process's descriptors other than sockets refer to, one per line.
// Sockets are left out: the test's own connections close in their own time.
// So is a descriptor closed between the listing and its reading (a
// connection that was just ending): it is no longer held.
std::string descriptors(const std::string& proc) {
  std::string out;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    std::error_code gone;
    const std::string target = std::filesystem::read_symlink(e.path(), gone).string();
    if (!gone && target.rfind("socket:", 0) != 0) {
      out += e.path().filename().string() + " -> " + target + "\n";
    }
  }
  return out;
}

TEST_F(StuckOutputTest, NoThreadPipeOrChildOutlivesItsOutput) {
  const std::string proc = "/proc/" + std::to_string(bridge_->child.pid());
  bridge_->status();
  const size_t threads = entries(proc + "/task");
  const std::string fds_before = descriptors(proc);
  ASSERT_EQ(200, start({destination("a", "copy", "a"), destination("b", "hang", "b"),
                        destination("c", "copy", "c")})
                     .status);
  EXPECT_EQ(threads + 3, entries(proc + "/task"));  // one writer per output
  std::vector<int> pids;
  for (auto& o : bridge_->outputs())
    pids.push_back(o["processId"]);
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(200, bridge_->post("/encoder/chunk", piece(256 * 1024)).status);
  }
  // Restart one, stop one, replace the rest, then stop everything.
  ASSERT_EQ(200, start_one("a", "copy", "a2").status);
  EXPECT_EQ(200, bridge_->post("/encoder/output/stop", R"({"id": "b"})").status);
  ASSERT_EQ(200, start({destination("d", "hang", "d")}).status);
  pids.push_back(pid_of("d"));
  EXPECT_EQ(threads + 1, entries(proc + "/task"));
  EXPECT_EQ(200, bridge_->post("/encoder/stop").status);
  EXPECT_TRUE(testing::waitFor([&] { return entries(proc + "/task") == threads; }, 10s,
                               "the bridge's threads to be as before"));
  EXPECT_TRUE(testing::waitFor([&] { return descriptors(proc) == fds_before; }, 10s,
                               "the bridge's descriptors to be as before"))
      << "before:\n"
      << fds_before << "after:\n"
      << descriptors(proc);
  for (int pid : pids) {
    EXPECT_NE(0, ::kill(pid, 0)) << "child " << pid << " outlived its output";
  }
}

}  // namespace
}  // namespace wf::encoder_test
