// The destination ID rule and the chunk's target header, through the real
// routes with fake children whose input pipes the fuzzer reads. The input is
// a script of steps separated by NUL bytes; each step's first byte says what
// it does and the rest is its argument:
//   o<id>      POST /encoder/output/start with one destination of that id
//   s<ids>     POST /encoder/start, one destination per comma-separated id
//              ("~" sends no id, so the legacy id applies)
//   c<m><value>\x1f<body>
//              POST /encoder/chunk; m % 4 chooses no header, the header in
//              two spellings of case, or the header twice (the first counts)
//   k<id>      the child of that output goes away (its pipe loses its reader)
//   x<id>      POST /encoder/output/stop {"id": id}
//   q          POST /encoder/stop
//   t          GET /encoder/status
// Every step's reply and the list of outputs afterwards are checked against
// the rules (an accepted ID obeys the ID rule; a rejected target selects no
// output and writes nothing; failed outputs are removed, killed and reaped),
// and at the end every pipe must hold exactly the chunks meant for it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/fake_child.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "fuzz/log_folder.h"

using namespace wf::bridge;

namespace {

const char* const FEED_STOPPED =
    R"({"error":"Encoder stopped accepting the program feed. Check FFmpeg installation, )"
    R"(destination key and network connection."})";

// Launches per input: each costs a thread, a pipe and a log file.
constexpr size_t MAX_LAUNCHES = 16;

[[noreturn]] void violated(const std::string& what) {
  std::fprintf(stderr, "destination rule violated: %s\n", what.c_str());
  std::abort();
}

void check(bool holds, const std::string& what) {
  if (!holds) {
    violated(what);
  }
}

// The ID rule written out once more, independently of the bridge's.
bool id_rule(std::string_view id) {
  if (id.empty() || id.size() > 120) {
    return false;
  }
  for (unsigned char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) {
      return false;
    }
  }
  return true;
}

// A JSON string holding `bytes` as they are; bytes that are not UTF-8 stay
// raw, so the body is then not UTF-8 either.
std::string json_string(std::string_view bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::vector<std::string_view> split(std::string_view text, char at) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(at, start);
    out.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) {
      return out;
    }
    start = end + 1;
  }
}

// A request given up without a designed reply: the empty 500 that the HTTP
// layer sends, without the bridge's headers.
bool given_up(const MemoryRequest::Reply& reply) {
  return reply.answered && reply.status == 500 && reply.headers.empty() && reply.body.empty();
}

struct Outcome {
  Status status;
  std::shared_ptr<const MemoryRequest::Reply> reply;
};

// One output as the script expects it: its ID and its fake child's pid.
struct Expected {
  std::string id;
  int pid;
  bool operator==(const Expected&) const = default;
};

// The outputs left once the one with this ID is replaced or stopped.
std::vector<Expected> without(const std::vector<Expected>& outputs, std::string_view id) {
  std::vector<Expected> left;
  for (const Expected& e : outputs) {
    if (e.id != id) {
      left.push_back(e);
    }
  }
  return left;
}

class Script {
 public:
  Script() {
    // Children end at their first status query, so stopping never waits.
    launcher_.on_launch = [](FakeChild& child) {
      child.exit_after_polls = 0;
      return Status{};
    };
    context_.launcher = &launcher_;
  }

  ~Script() { stop_encoder(encoders_.processes(), steady_clock(), std::chrono::milliseconds(0)); }

  void step(std::string_view record) {
    if (record.empty()) {
      return;
    }
    const std::string_view arg = record.substr(1);
    switch (record[0]) {
      case 'o':
        output_start(arg);
        break;
      case 's':
        start_all(arg);
        break;
      case 'c':
        chunk(arg);
        break;
      case 'k':
        lose_child(arg);
        break;
      case 'x':
        output_stop(arg);
        break;
      case 'q':
        stop_all();
        break;
      case 't':
        status();
        break;
      default:
        break;
    }
    drain();
  }

  // Waits for every running writer to put its queue into the pipe, then
  // checks that each pipe whose reader stayed holds exactly its chunks.
  void finish() {
    for (EncoderProcess& p : encoders_.processes()) {
      while (!p.feed->settled()) {
        drain();
        std::this_thread::yield();
      }
      if (!dead_.count(p.child->pid())) {
        check(p.bytes_received() == meant_[p.child->pid()].size(),
              "an output counted other bytes than it was sent");
      }
    }
    drain();
    for (const auto& [pid, bytes] : meant_) {
      if (!dead_.count(pid)) {
        check(got_[pid] == bytes, "output " + std::to_string(pid) + " took other bytes than meant");
      }
    }
  }

 private:
  Outcome call(const std::string& method, const std::string& path, std::string body,
               HeaderList headers = {}) {
    auto request =
        std::make_unique<MemoryRequest>(method, path, std::move(body), std::move(headers));
    auto reply = request->reply();
    Status status = handle_request(std::move(request), context_);
    return {std::move(status), reply};
  }

  std::vector<Expected> running() {
    std::vector<Expected> out;
    std::set<std::string> ids;
    for (EncoderProcess& p : encoders_.processes()) {
      check(ids.insert(p.id).second, "two outputs run under one ID");
      check(id_rule(p.id), "an output runs under an ID that breaks the rule");
      out.push_back({p.id, p.child->pid()});
    }
    return out;
  }

  int next_pid() const { return 100 + static_cast<int>(launcher_.launched_args.size()); }

  void expect_reply(const Outcome& out, uint16_t status, std::string_view body,
                    const std::string& what) {
    check(out.reply->answered && out.reply->status == status && out.reply->body == body,
          what + ": got " + std::to_string(out.reply->status) + " " + out.reply->body);
  }

  void expect_list(const std::vector<Expected>& want, const std::string& what) {
    check(running() == want, what + ": the outputs are not the expected ones");
  }

  void output_start(std::string_view id) {
    if (launcher_.launched_args.size() >= MAX_LAUNCHES) {
      return;
    }
    const std::vector<Expected> before = running();
    const int pid = next_pid();
    const Outcome out = call(
        "POST", "/encoder/output/start",
        R"({"outputs":[{"id":)" + json_string(id) + R"(,"rtmpUrl":"rtmp://127.0.0.1/live/key"}]})");
    if (!valid_utf8(id)) {
      check(given_up(*out.reply), "a body that is not UTF-8 got a designed reply");
      expect_list(before, "output start with a body that is not UTF-8");
      return;
    }
    if (!id_rule(id)) {
      expect_reply(out, 400, R"({"error":"One destination with a stable ID is required"})",
                   "output start with an ID that breaks the rule");
      expect_list(before, "output start with an ID that breaks the rule");
      return;
    }
    expect_reply(out, 200, R"({"ok":true})", "output start with a valid ID");
    std::vector<Expected> want = without(before, id);
    want.push_back({std::string(id), pid});
    expect_list(want, "output start with a valid ID");
    meant_[pid];
  }

  void start_all(std::string_view arg) {
    const std::vector<std::string_view> pieces = split(arg, ',');
    if (launcher_.launched_args.size() + pieces.size() > MAX_LAUNCHES) {
      return;
    }
    const std::vector<Expected> before = running();
    std::string body = R"({"outputs":[)";
    std::vector<Expected> want;
    std::set<std::string> ids;
    bool valid = true;
    for (size_t i = 0; i < pieces.size(); ++i) {
      body += i ? "," : "";
      body += R"({"rtmpUrl":"rtmp://127.0.0.1/live/key")";
      std::string id = "legacy-output-" + std::to_string(i);
      if (pieces[i] != "~") {
        body += R"(,"id":)" + json_string(pieces[i]);
        id = std::string(pieces[i]);
      }
      body += "}";
      valid = valid && id_rule(id) && ids.insert(id).second;
      want.push_back({id, next_pid() + static_cast<int>(i)});
    }
    body += "]}";
    const Outcome out = call("POST", "/encoder/start", body);
    if (!valid_utf8(arg)) {
      check(given_up(*out.reply), "a body that is not UTF-8 got a designed reply");
      expect_list(before, "start with a body that is not UTF-8");
      return;
    }
    if (!valid) {
      expect_reply(out, 503, R"({"error":"Invalid or duplicate destination ID"})",
                   "start with an invalid or repeated ID");
      expect_list(before, "start with an invalid or repeated ID");
      return;
    }
    nlohmann::json names = nlohmann::json::array();
    for (size_t i = 0; i < pieces.size(); ++i) {
      names.push_back("Output " + std::to_string(i + 1));
    }
    expect_reply(out, 200, nlohmann::json{{"ok", true}, {"outputs", names}}.dump(),
                 "start with valid IDs");
    expect_list(want, "start with valid IDs");
    for (const Expected& e : want) {
      meant_[e.pid];
    }
  }

  void chunk(std::string_view arg) {
    const int mode = arg.empty() ? 0 : static_cast<unsigned char>(arg[0]) % 4;
    if (!arg.empty()) {
      arg.remove_prefix(1);
    }
    const size_t cut = arg.find('\x1f');
    const std::string value(arg.substr(0, cut));
    const std::string body(cut == std::string_view::npos ? std::string_view()
                                                         : arg.substr(cut + 1));

    std::vector<Expected> before = running();
    // A header whose name only begins like the real one must not count.
    HeaderList headers = {{"X-Wrenfield-Destinations", "decoy"}};
    if (mode == 1) {
      headers.emplace_back("X-Wrenfield-Destination", value);
    } else if (mode == 2) {
      headers.emplace_back("x-wrenfield-DESTINATION", value);
    } else if (mode == 3) {
      headers.emplace_back("X-WRENFIELD-DESTINATION", value);
      headers.emplace_back("X-Wrenfield-Destination", before.empty() ? "A" : before[0].id);
    }
    const bool targeted = mode != 0;
    const Outcome out = call("POST", "/encoder/chunk", body, std::move(headers));

    const bool found =
        std::any_of(before.begin(), before.end(), [&](const Expected& e) { return e.id == value; });
    if ((targeted && (!id_rule(value) || !found)) || before.empty()) {
      expect_reply(out, 502, FEED_STOPPED, "a chunk for no running output");
      expect_list(before, "a chunk for no running output");
      return;
    }
    if (body.empty()) {
      expect_reply(out, 200, R"({"ok":true})", "an empty chunk");
      expect_list(before, "an empty chunk");
      return;
    }
    // Selected outputs whose child is gone leave the list, highest position
    // first, each replaced by the last output.
    std::vector<size_t> failed;
    for (size_t i = 0; i < before.size(); ++i) {
      if (targeted && before[i].id != value) {
        continue;
      }
      if (dead_.count(before[i].pid)) {
        failed.push_back(i);
      } else {
        meant_[before[i].pid] += body;
      }
    }
    std::vector<int> removed;
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
      removed.push_back(before[*it].pid);
      before[*it] = before.back();
      before.pop_back();
    }
    const bool stopped = (targeted && !failed.empty()) || before.empty();
    if (stopped) {
      expect_reply(out, 502, FEED_STOPPED, "a chunk whose outputs all failed");
    } else {
      expect_reply(out, 200, R"({"ok":true})", "a chunk that reached an output");
    }
    expect_list(before, "a chunk");
    for (int pid : removed) {
      const auto& log = *launcher_.log;
      check(std::find(log.begin(), log.end(), "kill " + std::to_string(pid)) != log.end() &&
                std::find(log.begin(), log.end(), "wait " + std::to_string(pid)) != log.end(),
            "a removed output was not killed and reaped");
    }
  }

  void lose_child(std::string_view id) {
    for (const Expected& e : running()) {
      if (e.id == id && !dead_.count(e.pid)) {
        drain();
        launcher_.readers[static_cast<size_t>(e.pid - 100)].reset();
        dead_.insert(e.pid);
      }
    }
  }

  void output_stop(std::string_view id) {
    const std::vector<Expected> before = running();
    const Outcome out = call("POST", "/encoder/output/stop", R"({"id":)" + json_string(id) + "}");
    if (!valid_utf8(id)) {
      check(given_up(*out.reply), "a body that is not UTF-8 got a designed reply");
      expect_list(before, "output stop with a body that is not UTF-8");
      return;
    }
    if (!id_rule(id)) {
      expect_reply(out, 400, R"({"error":"Destination ID required"})",
                   "output stop with an ID that breaks the rule");
      expect_list(before, "output stop with an ID that breaks the rule");
      return;
    }
    expect_reply(out, 200, R"({"ok":true})", "output stop with a valid ID");
    expect_list(without(before, id), "output stop with a valid ID");
  }

  void stop_all() {
    expect_reply(call("POST", "/encoder/stop", ""), 200, R"({"ok":true})", "stop");
    expect_list({}, "stop");
  }

  void status() {
    const size_t n = running().size();
    const Outcome out = call("GET", "/encoder/status", "");
    check(out.reply->answered && out.reply->status == 200, "status did not answer 200");
    const auto body = nlohmann::json::parse(out.reply->body, nullptr, false);
    check(body.is_object() && body.contains("outputs") && body["outputs"].is_array() &&
              body["outputs"].size() == n,
          "status does not list every output");
  }

  // Reads what the writers have put into the pipes so far, so that no pipe
  // fills up.
  void drain() {
    for (size_t i = 0; i < launcher_.readers.size(); ++i) {
      const int fd = launcher_.readers[i].get();
      if (fd < 0) {
        continue;
      }
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
          break;
        }
        got_[100 + static_cast<int>(i)].append(buf, static_cast<size_t>(n));
      }
    }
  }

  FakeLauncher launcher_;
  StreamSlot slot_;
  EncoderList encoders_;
  RouteContext context_{std::make_shared<SharedState>(), &slot_, &encoders_, nullptr};
  std::set<int> dead_;
  std::map<int, std::string> meant_;
  std::map<int, std::string> got_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A write into a pipe without a reader must fail, not end the run.
  ::signal(SIGPIPE, SIG_IGN);
  wf::fuzz::log_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every pipe must be able to hold what the script sends it.
  if (size > 32 * 1024) {
    return 0;
  }
  {
    Script script;
    for (std::string_view record : split({reinterpret_cast<const char*>(data), size}, '\0')) {
      script.step(record);
    }
    script.finish();
  }
  wf::fuzz::empty_log_folder();
  return 0;
}
