// A long run of the built audio-bridge as the front end drives it while live:
// an input metered from a private sound server with /meters polled at 30 Hz,
// a 4.5 Mbit/s WebM program posted in real time to three real ffmpeg outputs
// publishing to a private nginx-rtmp that records every stream, the status
// asked once a second, and one destination restarted by ID every minute,
// in turn. Meanwhile it samples the bridge's RSS, descriptors and threads
// once a second and times every reply by route.
//
// At the end it checks that each output launch received exactly the bytes
// posted to it, that every recording covers the feed time its launch was
// given, and that RSS, descriptors and threads did not grow after the first
// minute. It prints a table and exits 1 when a check fails.
//
// With --shared, the same feed goes instead to three destinations of one
// shared launch ("sharedEncoding": one encoding child, a publisher each):
// "a" and "b" on an nginx-rtmp that is killed, as a crash would, and started
// again on the same port every --blink-every seconds, "c" on a second one
// that stays up. It checks that every blink heals by itself (a and b publish
// again, their status having shown "reconnecting"), that c records the whole
// feed without a gap, that each of a's and b's recordings between blinks is
// whole and gapless from its heal to the next blink, and that RSS,
// descriptors and threads stay flat.
//
// Run: build/release/bin/soak_bridge [--seconds N (600)] [--restart-every N (60)]
//        [--shared [--blink-every N (120)] [--blink-down N (3)]]

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rtmp_peer.h"
#include "soak_feed.h"
#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/pulse_server.h"
#include "testing/rtmp_server.h"
#include "testing/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using wf::bench::ByteLedger;
using wf::bench::FeedLayout;
namespace t = wf::testing;

// The feed's keyframe interval. An output that joins the stream late decodes
// nothing before the next keyframe, so its recording may lack up to this much
// of the feed time it was given.
constexpr double GOP_SECONDS = 1.0;
// What a recording may lack besides that: the encoder's first frames before
// its output settles, the last video frame's and audio packet's length, AAC's
// priming and whole-frame rounding by the constant-rate output, each tens of
// milliseconds.
constexpr double EDGE_SECONDS = 0.5;
// Growth allowed after the first minute, comparing the smallest value of a
// late window against that of the first minute's second half (the smallest
// values leave out the moments of a restart, when a launch briefly holds a
// second pipe and log). A healthy bridge holds the same three pipes, the same
// connections and the same threads all along, so descriptors and threads may
// not grow at all beyond that slack; RSS may move by the allocator's slack, a
// few freed feed chunks kept per arena, well under 4 MiB. One lost descriptor
// per restart, or 2 KiB kept per posted chunk over ten minutes, passes these.
constexpr long FD_BOUND = 2;
constexpr long THREAD_BOUND = 0;
constexpr long RSS_BOUND_KIB = 4096;

const char* const IDS[] = {"a", "b", "c"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "soak_bridge: %s\n", what.c_str());
  std::exit(1);
}

double since(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// Reply times by route, from every thread.
class RouteTimes {
 public:
  void add(const std::string& route, double ms) {
    std::lock_guard lock(mutex_);
    times_[route].push_back(ms);
  }
  std::map<std::string, std::vector<double>> take() {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<double>> times_;
};

// Things that went wrong, with a count per kind and the first example.
class Faults {
 public:
  void add(const std::string& kind, const std::string& example) {
    std::lock_guard lock(mutex_);
    auto& [count, first] = faults_[kind];
    if (count++ == 0) {
      first = example;
    }
  }
  std::map<std::string, std::pair<int, std::string>> take() {
    std::lock_guard lock(mutex_);
    return faults_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::pair<int, std::string>> faults_;
};

// One keep-alive connection that times each request under its route name. A
// GET that finds the connection closed is sent again on a new one; a POST is
// not, since the bridge may have acted on it.
class Client {
 public:
  Client(int port, RouteTimes& times) : port_(port), times_(times) { connect(); }

  std::optional<t::HttpResponse> call(
      const std::string& method, const std::string& target, const std::string& body = {},
      const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    for (int attempt = 0; attempt < (method == "GET" ? 2 : 1); ++attempt) {
      const auto sent = Clock::now();
      if (conn_->connected() && conn_->send(method, target, body, headers)) {
        if (auto reply = conn_->read(false, std::chrono::seconds(60))) {
          times_.add(method + " " + target, since(sent) * 1000.0);
          return reply;
        }
      }
      connect();
    }
    return std::nullopt;
  }

 private:
  void connect() { conn_ = std::make_unique<t::HttpConnection>(port_); }
  int port_;
  RouteTimes& times_;
  std::unique_ptr<t::HttpConnection> conn_;
};

// One launch of one destination: the child that served it from one start to
// its stop, the feed it was given and what it made of it.
struct Launch {
  std::string id;
  std::string key;
  int pid = 0;
  ByteLedger ledger;
  // The feed time it was given: from its first chunk's time stamp to the next
  // chunk's (the end of the feed for the last).
  int64_t from_ms = -1;
  int64_t to_ms = -1;
  bool joined_late = false;
  std::optional<uint64_t> final_bytes;
  double recorded_s = -1;
  double audio_s = -1;
  std::string codecs;
};

struct Shared {
  std::mutex mutex;
  std::vector<Launch> launches;
  std::atomic<bool> stop{false};
  // While a destination is being restarted the status may lack it.
  std::atomic<bool> restarting{false};
};

struct Sample {
  double t = 0;
  long rss_kib = 0;
  long fds = 0;
  long threads = 0;
};

std::optional<Sample> sample_of(int pid, double t) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) {
    return std::nullopt;
  }
  Sample s;
  s.t = t;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      s.rss_kib = std::atol(line.c_str() + 6);
    } else if (line.rfind("Threads:", 0) == 0) {
      s.threads = std::atol(line.c_str() + 8);
    }
  }
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++s.fds;
  }
  return s;
}

std::string start_body(const std::vector<std::pair<std::string, std::string>>& outputs) {
  json list = json::array();
  for (const auto& [id, url] : outputs) {
    list.push_back({{"id", id}, {"name", "Soak " + id}, {"rtmpUrl", url}, {"videoBitrate", 1000}});
  }
  return json{{"inputFormat", "webm"},
              {"hasAudio", true},
              {"fps", 30},
              {"audioBitrate", 128},
              {"outputs", list}}
      .dump();
}

std::optional<json> body_of(const std::optional<t::HttpResponse>& reply) {
  if (!reply || reply->status != 200) {
    return std::nullopt;
  }
  json v = json::parse(reply->body, nullptr, false);
  if (v.is_discarded()) {
    return std::nullopt;
  }
  return v;
}

// The status entry of destination `id`, when listed.
std::optional<json> output_of(const json& status, const std::string& id) {
  for (const json& o : status.value("outputs", json::array())) {
    if (o.value("id", "") == id) {
      return o;
    }
  }
  return std::nullopt;
}

// The feed sent to the bridge: chunks at their media times, destinations
// started, restarted and checked before each stop.
class Feeder {
 public:
  Feeder(int port, RouteTimes& times, Faults& faults, Shared& shared, const t::RtmpServer& rtmp,
         const std::string& file, const FeedLayout& layout, int64_t feed_ms)
      : client_(port, times),
        faults_(faults),
        shared_(shared),
        rtmp_(rtmp),
        file_(file),
        layout_(layout),
        feed_ms_(feed_ms) {}

  void start_all() {
    std::vector<std::pair<std::string, std::string>> outputs;
    for (const char* id : IDS) {
      outputs.push_back({id, rtmp_.url(key_for(id))});
    }
    auto reply = client_.call("POST", "/encoder/start", start_body(outputs));
    if (!reply || reply->status != 200) {
      fail("/encoder/start failed: " + (reply ? reply->body : std::string("no reply")));
    }
    for (const char* id : IDS) {
      register_launch(id, false);
    }
  }

  // Posts the whole feed in real time from `begin`, restarting one
  // destination every `restart_every` seconds.
  void run(Clock::time_point begin, int restart_every) {
    int restarts = 0;
    for (size_t k = 0; k < layout_.chunks.size(); ++k) {
      const auto& chunk = layout_.chunks[k];
      const auto due = begin + std::chrono::milliseconds(chunk.ms);
      // Half a keyframe interval past the minute, as a person's click falls
      // anywhere in a GOP: the new child then waits for the next keyframe.
      const int64_t next_restart_ms =
          int64_t(restarts + 1) * restart_every * 1000 + int64_t(GOP_SECONDS * 500);
      if (restart_every > 0 && chunk.ms >= next_restart_ms && next_restart_ms < feed_ms_) {
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(next_restart_ms));
        restart(IDS[restarts % 3], chunk.ms);
        ++restarts;
      }
      std::this_thread::sleep_until(due);
      worst_lag_ms_ = std::max(worst_lag_ms_, since(due) * 1000.0);
      std::string body = k == 0 ? file_.substr(0, layout_.init_size + chunk.size)
                                : file_.substr(chunk.offset, chunk.size);
      post(body, std::nullopt, chunk.ms);
    }
    std::lock_guard lock(shared_.mutex);
    for (Launch& l : shared_.launches) {
      if (l.to_ms < 0) {
        l.to_ms = feed_ms_;
      }
    }
    restarts_ = restarts;
  }

  // Waits until every running launch shows all it was posted, and records
  // that count as its final one.
  void settle_all() {
    for (const char* id : IDS) {
      settle(id);
    }
  }

  void stop_all() {
    auto reply = client_.call("POST", "/encoder/stop");
    if (!reply || reply->status != 200) {
      faults_.add("stop failed", reply ? reply->body : "no reply");
    }
    auto after = body_of(client_.call("GET", "/encoder/status"));
    if (!after || !(*after)["outputs"].empty()) {
      faults_.add("outputs listed after /encoder/stop", after ? after->dump() : "no reply");
    }
  }

  int restarts() const { return restarts_; }
  double worst_lag_ms() const { return worst_lag_ms_; }
  uint64_t posted_bytes() const { return posted_bytes_; }

 private:
  std::string key_for(const std::string& id) {
    return id + "-" + std::to_string(generation_[id]++);
  }

  // Adds the launch now serving `id`, learning its child from the status.
  void register_launch(const std::string& id, bool late) {
    auto status = body_of(client_.call("GET", "/encoder/status"));
    auto out = status ? output_of(*status, id) : std::nullopt;
    if (!out) {
      fail("destination " + id + " is not listed after its start");
    }
    Launch l;
    l.id = id;
    l.key = id + "-" + std::to_string(generation_[id] - 1);
    l.pid = (*out)["processId"].get<int>();
    l.joined_late = late;
    std::lock_guard lock(shared_.mutex);
    shared_.launches.push_back(std::move(l));
  }

  // The launch now serving `id`. Call with the lock held.
  Launch& current(const std::string& id) {
    for (auto it = shared_.launches.rbegin(); it != shared_.launches.rend(); ++it) {
      if (it->id == id) {
        return *it;
      }
    }
    fail("no launch of " + id);
  }

  void post(const std::string& body, const std::optional<std::string>& target, int64_t ms) {
    {
      std::lock_guard lock(shared_.mutex);
      for (const char* id : IDS) {
        if (target && *target != id) {
          continue;
        }
        Launch& l = current(id);
        l.ledger.posted(body.size());
        if (l.from_ms < 0 && ms >= 0) {
          l.from_ms = ms;
        }
      }
    }
    std::vector<std::pair<std::string, std::string>> headers;
    if (target) {
      headers.push_back({"X-Wrenfield-Destination", *target});
    }
    auto reply = client_.call("POST", "/encoder/chunk", body, headers);
    if (!reply || reply->status != 200) {
      faults_.add("chunk refused", reply ? std::to_string(reply->status) + " " + reply->body
                                         : std::string("no reply"));
    }
    posted_bytes_ += body.size();
  }

  void settle(const std::string& id) {
    uint64_t expected;
    int pid;
    {
      std::lock_guard lock(shared_.mutex);
      expected = current(id).ledger.total();
      pid = current(id).pid;
    }
    std::optional<uint64_t> seen;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
      auto status = body_of(client_.call("GET", "/encoder/status"));
      auto out = status ? output_of(*status, id) : std::nullopt;
      if (!out || (*out)["processId"].get<int>() != pid) {
        faults_.add("output dropped", id + " (pid " + std::to_string(pid) + ") left the status");
        break;
      }
      seen = (*out)["bytesReceived"].get<uint64_t>();
      if (*seen == expected) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard lock(shared_.mutex);
    current(id).final_bytes = seen;
  }

  // Stop and start of one destination, then the stream's head to it alone,
  // as a front end joins a new output to a running recorder.
  void restart(const std::string& id, int64_t next_ms) {
    shared_.restarting = true;
    settle(id);
    {
      std::lock_guard lock(shared_.mutex);
      current(id).to_ms = next_ms;
    }
    auto stopped = client_.call("POST", "/encoder/output/stop", json{{"id", id}}.dump());
    if (!stopped || stopped->status != 200) {
      faults_.add("output stop failed", stopped ? stopped->body : "no reply");
    }
    const std::string body = start_body({{id, rtmp_.url(key_for(id))}});
    auto started = client_.call("POST", "/encoder/output/start", body);
    if (!started || started->status != 200) {
      fail("/encoder/output/start failed: " + (started ? started->body : std::string("none")));
    }
    register_launch(id, true);
    shared_.restarting = false;
    post(file_.substr(0, layout_.init_size), id, -1);
  }

  Client client_;
  Faults& faults_;
  Shared& shared_;
  const t::RtmpServer& rtmp_;
  const std::string& file_;
  const FeedLayout& layout_;
  int64_t feed_ms_;
  std::map<std::string, int> generation_;
  int restarts_ = 0;
  double worst_lag_ms_ = 0;
  uint64_t posted_bytes_ = 0;
};

// Once a second: every listed output of a known launch must be running and
// show a whole-chunk count no larger than what it was posted.
void poll_status(int port, RouteTimes& times, Faults& faults, Shared& shared) {
  Client client(port, times);
  auto next = Clock::now();
  while (!shared.stop) {
    next += std::chrono::seconds(1);
    std::this_thread::sleep_until(next);
    auto status = body_of(client.call("GET", "/encoder/status"));
    if (!status) {
      faults.add("status failed", "no 200 reply");
      continue;
    }
    const json& outputs = (*status)["outputs"];
    if (outputs.size() != 3 && !shared.restarting) {
      faults.add("outputs missing", status->dump().substr(0, 300));
    }
    std::lock_guard lock(shared.mutex);
    for (const json& o : outputs) {
      const int pid = o.value("processId", 0);
      auto l = std::find_if(shared.launches.begin(), shared.launches.end(),
                            [&](const Launch& x) { return x.pid == pid; });
      if (l == shared.launches.end()) {
        continue;  // started a moment ago and not registered yet
      }
      const uint64_t bytes = o.value("bytesReceived", uint64_t{0});
      if (!o.value("running", false)) {
        faults.add("output not running", o.dump().substr(0, 300));
      }
      if (!l->ledger.on_boundary(bytes)) {
        faults.add("count off a chunk boundary", l->key + " showed " + std::to_string(bytes) +
                                                     " of " + std::to_string(l->ledger.total()));
      }
    }
  }
}

struct MeterStats {
  // Replies from the first levels on.
  long replies = 0;
  // Of those, replies whose RMS is the sine's to within 1 dB on both channels.
  long exact = 0;
  double first_levels_s = -1;
  long worst_age_ms = 0;
  double lowest_peak = 0, highest_peak = -100;
  double lowest_rms = 0, highest_rms = -100;
};

// At 30 Hz: the sine (amplitude 0.5: -6.02 dBFS peak, -9.03 dBFS RMS) must
// show on both channels as levels the capture refreshed a moment ago. Each
// reply shows one 20 ms capture buffer, nearly nine periods, so its peak is
// the sine's crest; the server's mixing may bend a buffer's RMS a little now
// and then, never its crest. The first levels come a moment after /start
// (the sink first ends the block it was rendering at its idle latency);
// until then the bridge shows its -70 dBFS floor.
MeterStats poll_meters(int port, RouteTimes& times, Faults& faults, Shared& shared,
                       Clock::time_point begin) {
  Client client(port, times);
  MeterStats s;
  const auto period = std::chrono::microseconds(1000000 / 30);
  auto next = Clock::now();
  while (!shared.stop) {
    next += period;
    std::this_thread::sleep_until(next);
    auto m = body_of(client.call("GET", "/meters"));
    const std::string at = " at " + std::to_string(since(begin)) + " s: ";
    if (!m) {
      faults.add("meters failed", at + "no 200 reply");
      continue;
    }
    const json& meters = (*m)["meters"];
    if (!m->value("running", false) || meters.size() != 2) {
      faults.add("meters not running", at + m->dump());
      continue;
    }
    if (s.first_levels_s < 0) {
      if (meters[0].value("peak", -70.0) <= -70.0) {
        continue;
      }
      s.first_levels_s = since(begin);
    }
    ++s.replies;
    const long age = m->value("updatedMsAgo", 0L);
    s.worst_age_ms = std::max(s.worst_age_ms, age);
    // A capture refreshes every few tens of milliseconds; a second without
    // a refresh is a stream that stalled.
    if (age > 1000) {
      faults.add("stale meters", at + m->dump());
    }
    bool exact = true;
    for (const json& c : meters) {
      const double peak = c.value("peak", -70.0), rms = c.value("rms", -70.0);
      s.lowest_peak = std::min(s.lowest_peak, peak);
      s.highest_peak = std::max(s.highest_peak, peak);
      s.lowest_rms = std::min(s.lowest_rms, rms);
      s.highest_rms = std::max(s.highest_rms, rms);
      exact = exact && std::abs(rms + 9.03) <= 1.0;
      if (peak < -7.0 || peak > -5.5 || rms > peak) {
        faults.add("meters off the sine's levels", at + m->dump());
      }
    }
    s.exact += exact;
  }
  return s;
}

std::vector<Sample> sample_bridge(int pid, Clock::time_point begin, Shared& shared) {
  std::vector<Sample> samples;
  auto next = Clock::now();
  while (!shared.stop) {
    if (auto s = sample_of(pid, since(begin))) {
      samples.push_back(*s);
      if (samples.size() % 60 == 0) {
        std::fprintf(stderr, "soak_bridge: %4.0f s  RSS %ld KiB  fds %ld  threads %ld\n", s->t,
                     s->rss_kib, s->fds, s->threads);
      }
    }
    next += std::chrono::seconds(1);
    std::this_thread::sleep_until(next);
  }
  return samples;
}

// Smallest value of `field` over samples in [from, to) seconds.
long window_min(const std::vector<Sample>& samples, double from, double to, long Sample::*field) {
  long v = -1;
  for (const Sample& s : samples) {
    if (s.t >= from && s.t < to && (v < 0 || s.*field < v)) {
      v = s.*field;
    }
  }
  return v;
}

// First and last time stamp plus last length of one stream's packets.
double packet_span(const std::string& path, const std::string& stream) {
  const std::string csv =
      t::runCommand({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                     "packet=pts_time,duration_time", "-of", "csv=p=0", path});
  std::istringstream in(csv);
  std::string line;
  double first = -1, end = -1;
  while (std::getline(in, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos || line[0] == 'N') {
      continue;
    }
    const double pts = std::atof(line.c_str());
    const double dur = std::atof(line.c_str() + comma + 1);
    if (first < 0 || pts < first) {
      first = pts;
    }
    end = std::max(end, pts + dur);
  }
  return first < 0 ? -1 : end - first;
}

// Waits until nginx holds none of the recordings open, so each is complete.
void await_recordings_closed(const t::RtmpServer& rtmp) {
  const auto dir = std::filesystem::path(rtmp.recording("x")).parent_path();
  std::ifstream pidfile(dir.parent_path() / "nginx.pid");
  int pid = 0;
  if (!(pidfile >> pid)) {
    fail("nginx wrote no pid file");
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    bool open = false;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      std::error_code lec;
      const auto target = std::filesystem::read_symlink(it->path(), lec);
      open = open || (!lec && target.parent_path() == dir);
    }
    if (!open) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fail("nginx still holds a recording open 30 s after the stop");
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * v.size())) - 1)];
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// ---- Shared encoding under server blinks ----

// The largest step between consecutive packets of one stream.
double packet_gap(const std::string& path, const std::string& stream) {
  const std::string csv =
      t::runCommand({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                     "packet=pts_time", "-of", "csv=p=0", path});
  std::istringstream in(csv);
  std::vector<double> pts;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != 'N') {
      pts.push_back(std::atof(line.c_str()));
    }
  }
  std::sort(pts.begin(), pts.end());
  double gap = 0;
  for (size_t i = 1; i < pts.size(); ++i) {
    gap = std::max(gap, pts[i] - pts[i - 1]);
  }
  return pts.empty() ? -1 : gap;
}

std::string codecs_of(const std::string& path) {
  std::string codecs;
  auto streams = json::parse(t::runCommand({"ffprobe", "-v", "error", "-of", "json",
                                            "-show_entries", "stream=codec_name", path}),
                             nullptr, false);
  if (!streams.is_discarded()) {
    std::vector<std::string> names;
    for (const json& s : streams.value("streams", json::array())) {
      names.push_back(s.value("codec_name", std::string("?")));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      codecs += (codecs.empty() ? "" : "+") + n;
    }
  }
  return codecs;
}

std::uintmax_t size_of(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

// One stretch of a destination's recording: from its (re)start to the next
// blink (or the end), kept under its own name.
struct Segment {
  std::string dest;
  std::string path;
  double from_s = 0;  // when publishing (re)started, feed time
  double to_s = 0;    // when the server went down, or the end
  double video_s = -1, audio_s = -1, gap_s = -1;
  std::string codecs;
};

Segment segment(const std::string& dest, const std::string& path, double from_s, double to_s) {
  Segment s;
  s.dest = dest;
  s.path = path;
  s.from_s = from_s;
  s.to_s = to_s;
  return s;
}

struct Blink {
  double down_s = 0;
  double up_s = 0;
  std::map<std::string, double> healed_after_s;  // from the server's return
};

// Starts the built bridge on `port`, its logs in `dir`, with `env` added to
// its environment, and waits for its start-up line.
t::Child start_bridge(int port, const t::TempDir& dir,
                      std::vector<std::pair<std::string, std::string>> env) {
  t::SpawnOptions options;
  options.env = std::move(env);
  options.env.push_back({"TMPDIR", dir.path()});
  options.pipeStdin = false;
  options.pipeStderr = false;
  t::Child bridge =
      t::Child::spawn({t::binPath("audio-bridge"), "--port", std::to_string(port)}, options);
  if (!bridge.readLine(std::chrono::seconds(30))) {
    fail("audio-bridge did not start");
  }
  return bridge;
}

// Prints the reply times of every route: count, p99 and worst.
void print_route_times(RouteTimes& times) {
  std::printf("\n%-26s %9s %10s %10s\n", "route", "requests", "p99 ms", "worst ms");
  for (auto& [route, ms] : times.take()) {
    std::printf("%-26s %9zu %10.2f %10.2f\n", route.c_str(), ms.size(), percentile(ms, 0.99),
                *std::max_element(ms.begin(), ms.end()));
  }
}

// Prints the bridge's resident memory, descriptors and threads in the first
// minute against the last; false when one grew past its bound.
bool print_growth(const std::vector<Sample>& samples, double ran_s) {
  bool ok = true;
  const double late_from = std::max(60.0, ran_s - 60.0);
  std::printf("\n%-12s %14s %14s %8s %8s\n", "bridge", "first minute", "last minute", "growth",
              "bound");
  struct Row {
    const char* name;
    long Sample::*field;
    long bound;
  };
  for (const Row& r :
       {Row{"RSS KiB", &Sample::rss_kib, RSS_BOUND_KIB}, Row{"descriptors", &Sample::fds, FD_BOUND},
        Row{"threads", &Sample::threads, THREAD_BOUND}}) {
    const long first = window_min(samples, 30, 60, r.field);
    const long last = window_min(samples, late_from, ran_s + 1, r.field);
    const bool grew = first < 0 || last < 0 || last - first > r.bound;
    ok = ok && !grew;
    std::printf("%-12s %14ld %14ld %8ld %8ld%s\n", r.name, first, last, last - first, r.bound,
                grew ? "  GREW" : "");
  }
  return ok;
}

// Prints what went wrong, if anything; false when something did.
bool print_faults(Faults& faults) {
  const auto found = faults.take();
  if (found.empty()) {
    return true;
  }
  std::printf("\nfaults:\n");
  for (const auto& [kind, entry] : found) {
    std::printf("  %s: %d, first: %s\n", kind.c_str(), entry.first, entry.second.c_str());
  }
  return false;
}

std::string shared_start_body(const std::vector<std::pair<std::string, std::string>>& outputs) {
  json body = json::parse(start_body(outputs));
  body["sharedEncoding"] = true;
  return body.dump();
}

int shared_soak(const t::TempDir& dir, const std::string& file, const FeedLayout& layout,
                int seconds, int blink_every, int blink_down) {
  wf::bench::RtmpPeer blinking(dir.file("rtmp-blinking")), steady(dir.file("rtmp-steady"));
  if (!blinking.ready() || !steady.ready()) {
    fail("nginx-rtmp did not start");
  }
  const int port = t::freePort();
  t::Child bridge = start_bridge(port, dir, {});
  RouteTimes times;
  Faults faults;
  Shared shared;
  Client feeder(port, times);
  const std::map<std::string, std::string> urls = {
      {"a", blinking.url("a")}, {"b", blinking.url("b")}, {"c", steady.url("c")}};
  {
    auto reply = feeder.call(
        "POST", "/encoder/start",
        shared_start_body({{"a", urls.at("a")}, {"b", urls.at("b")}, {"c", urls.at("c")}}));
    if (!reply || reply->status != 200) {
      fail("shared /encoder/start failed: " + (reply ? reply->body : std::string("no reply")));
    }
  }
  const auto begin = Clock::now();
  std::vector<Sample> samples;
  std::thread sampler([&] { samples = sample_bridge(bridge.pid(), begin, shared); });

  // The states each destination showed, and c's being live throughout.
  std::mutex seen_mutex;
  std::map<std::string, std::set<std::string>> states_seen;
  std::thread status_poller([&] {
    Client c(port, times);
    while (!shared.stop) {
      if (auto status = body_of(c.call("GET", "/encoder/status"))) {
        std::lock_guard lock(seen_mutex);
        for (const json& o : status->value("outputs", json::array())) {
          states_seen[o.value("id", "")].insert(o.value("state", "(none)"));
        }
        if (!output_of(*status, "a") || !output_of(*status, "b") || !output_of(*status, "c")) {
          faults.add("destination missing from the status", status->dump());
        }
      } else {
        faults.add("status failed", "");
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });

  // The blinks: kill the server, keep what a and b recorded so far, start it
  // again, then wait for a and b to record again.
  std::vector<Blink> blinks;
  std::vector<Segment> segments;
  std::map<std::string, double> started_s = {{"a", 0}, {"b", 0}};
  std::thread blinker([&] {
    int n = 0;
    while (!shared.stop) {
      const auto due = begin + std::chrono::seconds(int64_t(n + 1) * blink_every);
      while (!shared.stop && Clock::now() < due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (shared.stop || since(begin) + blink_down + 30 > seconds) {
        return;
      }
      Blink blink;
      blink.down_s = since(begin);
      blinking.kill();
      for (const char* d : {"a", "b"}) {
        const std::string kept =
            dir.file(std::string("seg-") + d + "-" + std::to_string(n) + ".flv");
        std::error_code ec;
        std::filesystem::rename(blinking.recording(d), kept, ec);
        if (ec) {
          faults.add("no recording before a blink", d);
        }
        std::lock_guard lock(seen_mutex);
        segments.push_back(segment(d, kept, started_s[d], blink.down_s));
      }
      std::this_thread::sleep_for(std::chrono::seconds(blink_down));
      if (!blinking.restart()) {
        fail("the blinking nginx did not come back");
      }
      blink.up_s = since(begin);
      // Healed once a fresh recording holds media.
      std::set<std::string> waiting = {"a", "b"};
      const auto deadline = Clock::now() + std::chrono::seconds(60);
      while (!waiting.empty() && Clock::now() < deadline && !shared.stop) {
        for (auto it = waiting.begin(); it != waiting.end();) {
          if (size_of(blinking.recording(*it)) >= 4096) {
            blink.healed_after_s[*it] = since(begin) - blink.up_s;
            std::lock_guard lock(seen_mutex);
            started_s[*it] = since(begin);
            it = waiting.erase(it);
          } else {
            ++it;
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      for (const std::string& d : waiting) {
        faults.add("a blink did not heal within 60 s", d + " at " + std::to_string(blink.up_s));
      }
      blinks.push_back(blink);
      ++n;
    }
  });

  double worst_lag_ms = 0;
  for (size_t k = 0; k < layout.chunks.size(); ++k) {
    const auto& chunk = layout.chunks[k];
    const auto due = begin + std::chrono::milliseconds(chunk.ms);
    std::this_thread::sleep_until(due);
    worst_lag_ms = std::max(worst_lag_ms, since(due) * 1000.0);
    const std::string body = k == 0 ? file.substr(0, layout.init_size + chunk.size)
                                    : file.substr(chunk.offset, chunk.size);
    auto reply = feeder.call("POST", "/encoder/chunk", body);
    if (!reply || reply->status != 200) {
      faults.add("chunk refused", reply ? std::to_string(reply->status) + " " + reply->body
                                        : std::string("no reply"));
    }
  }
  const double ran_s = since(begin);
  shared.stop = true;
  blinker.join();
  status_poller.join();
  sampler.join();
  feeder.call("POST", "/encoder/stop");
  // nginx closes a recording when its publisher goes.
  for (const std::string& key : {std::string("a"), std::string("b"), std::string("c")}) {
    const std::string path = key == "c" ? steady.recording(key) : blinking.recording(key);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::uintmax_t last = size_of(path);
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const std::uintmax_t now = size_of(path);
      if (now == last) {
        break;
      }
      last = now;
    }
  }
  for (const char* d : {"a", "b"}) {
    segments.push_back(segment(d, blinking.recording(d), started_s[d], ran_s));
  }
  segments.push_back(segment("c", steady.recording("c"), 0, ran_s));
  for (Segment& s : segments) {
    s.video_s = packet_span(s.path, "v:0");
    s.audio_s = packet_span(s.path, "a:0");
    s.gap_s = packet_gap(s.path, "v:0");
    s.codecs = codecs_of(s.path);
  }
  bridge.signal(SIGTERM);
  bridge.wait(std::chrono::seconds(10));

  bool ok = true;
  std::printf(
      "soak_bridge --shared: %.0f s, feed %.2f Mbit/s, %zu blinks of %d s every %d s, "
      "worst feed lag %.0f ms\n",
      ran_s, file.size() * 8.0 / seconds / 1e6, blinks.size(), blink_down, blink_every,
      worst_lag_ms);
  std::printf("\n%-8s %10s %10s %14s %14s\n", "blink", "down at s", "up at s", "a healed s",
              "b healed s");
  for (size_t i = 0; i < blinks.size(); ++i) {
    const Blink& b = blinks[i];
    auto healed = [&](const char* d) {
      auto it = b.healed_after_s.find(d);
      return it == b.healed_after_s.end() ? std::string("never") : std::to_string(it->second);
    };
    ok = ok && b.healed_after_s.size() == 2;
    std::printf("%-8zu %10.1f %10.1f %14s %14s\n", i + 1, b.down_s, b.up_s, healed("a").c_str(),
                healed("b").c_str());
  }

  std::printf("\n%-5s %-34s %8s %8s %10s %10s %8s %8s %s\n", "dest", "recording", "from s", "to s",
              "video s", "audio s", "short s", "gap s", "streams");
  for (const Segment& s : segments) {
    // A stretch starts at its heal (or launch), when media already flows,
    // and a publisher that joins waits for the encoder's next keyframe; it
    // ends when the server went down.
    const double covered = s.to_s - s.from_s;
    const double allowed = EDGE_SECONDS + 2 * GOP_SECONDS;
    const double shortfall = covered - std::min(s.video_s, s.audio_s);
    const bool good = s.video_s > 0 && s.audio_s > 0 && shortfall <= allowed && s.gap_s >= 0 &&
                      s.gap_s < 0.5 && s.codecs == "aac+h264";
    ok = ok && good;
    std::printf("%-5s %-34s %8.2f %8.2f %10.2f %10.2f %8.2f %8.2f %s%s\n", s.dest.c_str(),
                std::filesystem::path(s.path).filename().c_str(), s.from_s, s.to_s, s.video_s,
                s.audio_s, shortfall, s.gap_s, s.codecs.c_str(), good ? "" : "  RECORDING");
  }
  {
    std::lock_guard lock(seen_mutex);
    std::printf("\nstates seen:");
    for (const auto& [id, states] : states_seen) {
      std::printf("  %s:", id.c_str());
      for (const std::string& st : states) {
        std::printf(" %s", st.c_str());
      }
    }
    std::printf("\n");
    if (!blinks.empty()) {
      for (const char* d : {"a", "b"}) {
        if (!states_seen[d].count("reconnecting")) {
          ok = false;
          std::printf("%s never showed \"reconnecting\"\n", d);
        }
      }
    }
    if (states_seen["c"].count("reconnecting") || states_seen["c"].count("failed")) {
      ok = false;
      std::printf("c, on the steady server, was disturbed by the blinks\n");
    }
  }

  ok = print_growth(samples, ran_s) && ok;
  print_route_times(times);
  ok = print_faults(faults) && ok;
  std::printf("\nsoak_bridge --shared: %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  int seconds = 600;
  int restart_every = 60;
  bool shared_mode = false;
  int blink_every = 120;
  int blink_down = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--shared") {
      shared_mode = true;
      continue;
    }
    if (i + 1 >= argc) {
      fail("option " + flag + " needs a value");
    }
    const int value = std::atoi(argv[++i]);
    if (flag == "--seconds") {
      seconds = value;
    } else if (flag == "--restart-every") {
      restart_every = value;
    } else if (flag == "--blink-every") {
      blink_every = value;
    } else if (flag == "--blink-down") {
      blink_down = value;
    } else {
      fail("unknown option " + flag);
    }
  }
  if (seconds < 60) {
    fail("--seconds must be at least 60: the first minute is the baseline");
  }

  t::TempDir dir;
  // The program feed, made before the clock starts: one continuous stream
  // as a live recorder writes it (no seeking, so an unknown-size Segment),
  // Clusters of at most 250 ms and a keyframe every GOP_SECONDS. Noise keeps
  // the small picture from compressing below 4.5 Mbit/s.
  std::fprintf(stderr, "soak_bridge: making %d s of feed\n", seconds);
  const std::string feed_path = dir.file("feed.webm");
  t::SpawnOptions quiet;
  quiet.pipeStdin = false;
  quiet.pipeStdout = false;
  quiet.pipeStderr = false;
  t::Child maker = t::Child::spawn(
      {"sh", "-c",
       "exec ffmpeg -hide_banner -loglevel error -f lavfi -i "
       "testsrc2=size=426x240:rate=30,noise=alls=30:allf=t -f lavfi -i "
       "sine=frequency=440:sample_rate=48000 -t " +
           std::to_string(seconds) +
           " -c:v libvpx -deadline realtime -cpu-used 16 -threads 2 -b:v 4500k -minrate 4500k "
           "-maxrate 4500k -g 30 -c:a libopus -b:a 128k -ac 2 -f webm -cluster_time_limit 250 "
           "pipe:1 > " +
           feed_path},
      quiet);
  // About a quarter of the feed's length on an idle machine.
  const auto made = maker.wait(std::chrono::seconds(seconds * 4)).value_or(t::ExitStatus{});
  if (!made.exited || made.code != 0) {
    fail("ffmpeg could not make the feed");
  }
  const std::string file = read_all(feed_path);
  std::string why;
  auto layout = wf::bench::split_feed(file, why);
  if (!layout) {
    fail("the feed is not a live WebM: " + why);
  }
  const int64_t feed_ms = int64_t(seconds) * 1000;
  if (shared_mode) {
    return shared_soak(dir, file, *layout, seconds, blink_every, blink_down);
  }

  t::PulseServer pulse;
  if (!pulse.ready()) {
    fail("the private sound server did not start");
  }
  t::RtmpServer rtmp;
  if (!rtmp.ready()) {
    fail("nginx-rtmp did not start");
  }
  const int port = t::freePort();
  t::Child bridge = start_bridge(port, dir, pulse.clientEnv());

  RouteTimes times;
  Faults faults;
  Shared shared;
  {
    Client setup(port, times);
    auto health = body_of(setup.call("GET", "/health"));
    if (!health) {
      fail("/health failed");
    }
    // The sound server's own sine source hands out its audio in blocks of
    // two seconds, so levels read from it go stale between blocks. A sine
    // played into the null sink reaches its monitor every few tens of
    // milliseconds, as a microphone's audio does.
    t::ExitStatus loaded;
    pulse.pactl({"load-module", "module-sine", "sink=nullsink", "frequency=440"}, &loaded);
    if (!loaded.exited || loaded.code != 0) {
      fail("cannot play a sine into the null sink");
    }
    auto devices = body_of(setup.call("GET", "/devices"));
    std::string monitor;
    for (const json& d : devices ? devices->value("inputs", json::array()) : json::array()) {
      if (d.value("label", "").find("Monitor of") != std::string::npos) {
        monitor = d.value("deviceId", "");
      }
    }
    if (monitor.empty()) {
      fail("/devices lists no monitor of the null sink");
    }
    auto started =
        setup.call("POST", "/start", json{{"deviceId", monitor}, {"channelCount", 2}}.dump());
    if (!started || started->status != 200) {
      fail("/start failed: " + (started ? started->body : std::string("no reply")));
    }
  }

  Feeder feeder(port, times, faults, shared, rtmp, file, *layout, feed_ms);
  feeder.start_all();
  const auto begin = Clock::now();
  std::vector<Sample> samples;
  MeterStats meters;
  std::thread sampler([&] { samples = sample_bridge(bridge.pid(), begin, shared); });
  std::thread meter_poller([&] { meters = poll_meters(port, times, faults, shared, begin); });
  std::thread status_poller([&] { poll_status(port, times, faults, shared); });

  feeder.run(begin, restart_every);
  feeder.settle_all();
  shared.stop = true;
  sampler.join();
  meter_poller.join();
  status_poller.join();
  feeder.stop_all();
  {
    Client teardown(port, times);
    teardown.call("POST", "/stop");
  }
  const double ran_s = since(begin);
  await_recordings_closed(rtmp);

  for (Launch& l : shared.launches) {
    const std::string path = rtmp.recording(l.key);
    if (!std::filesystem::exists(path)) {
      continue;
    }
    l.recorded_s = packet_span(path, "v:0");
    l.audio_s = packet_span(path, "a:0");
    auto streams = json::parse(t::runCommand({"ffprobe", "-v", "error", "-of", "json",
                                              "-show_entries", "stream=codec_name", path}),
                               nullptr, false);
    if (!streams.is_discarded()) {
      for (const json& s : streams.value("streams", json::array())) {
        l.codecs += (l.codecs.empty() ? "" : "+") + s.value("codec_name", std::string("?"));
      }
    }
  }
  bridge.signal(SIGTERM);
  bridge.wait(std::chrono::seconds(10));

  // The table.
  bool ok = true;
  std::printf(
      "soak_bridge: %.0f s, feed %.2f Mbit/s (%zu chunks, %.1f MB posted), %d restarts, "
      "worst feed lag %.0f ms\n",
      ran_s, file.size() * 8.0 / seconds / 1e6, layout->chunks.size(), feeder.posted_bytes() / 1e6,
      feeder.restarts(), feeder.worst_lag_ms());
  print_route_times(times);

  ok = print_growth(samples, ran_s) && ok;

  const bool meters_ok = meters.first_levels_s >= 0 && meters.first_levels_s < 5.0 &&
                         meters.exact >= meters.replies * 99 / 100;
  ok = ok && meters_ok;
  std::printf(
      "\nmeters: %ld replies, first levels %.2f s in, worst updatedMsAgo %ld ms after, "
      "%.1f%% at the sine's RMS, peak %.2f..%.2f dBFS, RMS %.2f..%.2f dBFS%s\n",
      meters.replies, meters.first_levels_s, meters.worst_age_ms,
      100.0 * meters.exact / std::max(meters.replies, 1L), meters.lowest_peak, meters.highest_peak,
      meters.lowest_rms, meters.highest_rms, meters_ok ? "" : "  NOT LIVE");

  std::printf("\n%-6s %8s %8s %8s %14s %14s %10s %10s %8s %s\n", "launch", "pid", "from s", "to s",
              "posted B", "received B", "video s", "audio s", "short s", "streams");
  for (const Launch& l : shared.launches) {
    const double covered = (l.to_ms - l.from_ms) / 1000.0;
    const double allowed = EDGE_SECONDS + (l.joined_late ? GOP_SECONDS : 0.0);
    const double shortfall = covered - std::min(l.recorded_s, l.audio_s);
    const bool bytes_ok = l.final_bytes && *l.final_bytes == l.ledger.total();
    const bool rec_ok = l.recorded_s > 0 && l.audio_s > 0 && shortfall <= allowed &&
                        (l.codecs == "h264+aac" || l.codecs == "aac+h264");
    ok = ok && bytes_ok && rec_ok;
    std::printf(
        "%-6s %8d %8.2f %8.2f %14llu %14s %10.2f %10.2f %8.2f %s%s%s\n", l.key.c_str(), l.pid,
        l.from_ms / 1000.0, l.to_ms / 1000.0, static_cast<unsigned long long>(l.ledger.total()),
        l.final_bytes ? std::to_string(*l.final_bytes).c_str() : "-", l.recorded_s, l.audio_s,
        shortfall, l.codecs.c_str(), bytes_ok ? "" : "  BYTES", rec_ok ? "" : "  RECORDING");
  }
  std::printf(
      "(a recording may lack %.1f s of the feed it was given, plus %.1f s for a launch "
      "that joined the stream late)\n",
      EDGE_SECONDS, GOP_SECONDS);

  ok = print_faults(faults) && ok;
  std::printf("\nsoak_bridge: %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
