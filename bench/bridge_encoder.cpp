// Fan-out of the program feed through POST /encoder/chunk (1 MiB chunks into
// 1, 3 and 8 outputs whose encoder is a sink that reads and discards, timed
// until every output's writer has put the last byte into its pipe), against
// the same bytes written by a plain loop into as many sink pipes; the chunk
// reply times of a 4.5 Mbit/s feed posted in real time to 3 outputs, with
// one that stops reading halfway against all three healthy; and the latency
// of GET /encoder/status over 8 outputs with logs past 16 KiB, against GET
// /health on the same connection.
//
// Then real encoding with real ffmpeg into a private nginx-rtmp, with one
// 720p30 WebM feed posted in real time: the CPU seconds of all the bridge's
// children for 1 and 3 destinations (720p, 2500 kbit/s) in the default mode
// and with "sharedEncoding" (a fresh bridge per case, whose reaped children's
// CPU is read from /proc after the stop), against the default mode's single
// destination; the time from a mid-stream /encoder/output/start to the new
// destination's recording taking media, for a destination that joins a
// running encoder and one that needs a new one; and the time from an RTMP
// server's return after a crash to its destination's recording taking media
// again.
//
// Run: build/<release>/bin/bench_bridge_encoder [MiB of feed per case]
//        [--encoding-only | --no-encoding]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "loopback.h"
#include "rtmp_peer.h"

using wf::bench::free_port;
using wf::bench::RtmpPeer;

namespace {

using Clock = std::chrono::steady_clock;

// The stand-in encoder: reads its input to the end. With "/log/" in the
// destination URL it first writes about 32 KiB of progress lines to its log.
const char* const SINK = R"(#!/bin/sh
for url; do :; done
case "$url" in
  */log/*)
    i=0
    while [ $i -lt 400 ]; do
      echo "frame=$i fps=30 q=23.0 size=1024kB time=00:00:10.00 bitrate=800kbits/s speed=1x"
      i=$((i+1))
    done >&2 ;;
esac
exec cat > /dev/null
)";

void fail(const std::string& what) {
  std::fprintf(stderr, "bench_bridge_encoder: %s\n", what.c_str());
  std::exit(1);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

pid_t spawn(const std::vector<std::string>& argv, int in_fd, int out_fd,
            const std::vector<std::string>& env = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e)
    envs.push_back(*e);
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> envp, args;
  for (auto& s : envs)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = argv;
  for (auto& s : copy)
    args.push_back(s.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
    fail("cannot start " + argv[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// One keep-alive connection; requests framed with Content-Length.
class Connection {
 public:
  explicit Connection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      fail("connect");
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Connection() { ::close(fd_); }

  // Returns the status; the body goes to `body` when given.
  int request(const std::string& method, const std::string& path, const std::string& payload,
              std::string* body = nullptr) {
    std::string head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                       std::to_string(payload.size()) + "\r\n\r\n";
    send_all(head);
    send_all(payload);
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
      fill();
    const std::string headers = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    const int status = std::atoi(headers.c_str() + headers.find(' ') + 1);
    size_t length = 0;
    std::string lower = headers;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (auto p = lower.find("content-length:"); p != std::string::npos) {
      length = std::strtoul(lower.c_str() + p + 15, nullptr, 10);
    }
    while (buffer_.size() < length)
      fill();
    if (body)
      *body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return status;
  }

 private:
  void send_all(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0)
        fail("send");
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  void fill() {
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0)
      fail("connection closed");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  int fd_ = -1;
  std::string buffer_;
};

std::string start_payload(int outputs, const std::string& mode) {
  std::string body = R"({"hasAudio":true,"outputs":[)";
  for (int i = 0; i < outputs; ++i) {
    if (i > 0) {
      body += ',';
    }
    body += R"({"id":"o)" + std::to_string(i) + R"(","rtmpUrl":"rtmp://127.0.0.1/)";
    body += mode + "/" + std::to_string(i) + R"("})";
  }
  return body + "]}";
}

// How many outputs of the status report `bytes` received.
int outputs_at(Connection& c, uint64_t bytes) {
  std::string body;
  c.request("GET", "/encoder/status", "", &body);
  const std::string needle = "\"bytesReceived\":";
  int n = 0;
  for (size_t at = body.find(needle); at != std::string::npos; at = body.find(needle, at + 1)) {
    if (std::strtoull(body.c_str() + at + needle.size(), nullptr, 10) >= bytes)
      ++n;
  }
  return n;
}

// Waits until all `outputs` have taken `bytes`; fails when one was dropped
// (its backlog passed the bridge's limit), rather than waiting forever.
void await_outputs(Connection& c, int outputs, uint64_t bytes) {
  while (outputs_at(c, bytes) < outputs) {
    if (outputs_at(c, 0) < outputs)
      fail("an output was dropped during the fan-out run");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// MB/s of feed through the bridge into `outputs` sinks.
double bridge_rate(Connection& c, int outputs, const std::string& chunk, int chunks) {
  if (c.request("POST", "/encoder/start", start_payload(outputs, "sink")) != 200) {
    fail("/encoder/start failed");
  }
  const auto begin = Clock::now();
  // Posting is faster than a sink drains, and an output more than 16 MiB
  // behind is dropped: every 8 chunks the run lets the outputs come within
  // 8 chunks of the feed, as a front end posting in real time always is.
  for (int i = 0; i < chunks; ++i) {
    if (i % 8 == 0 && i >= 8)
      await_outputs(c, outputs, chunk.size() * static_cast<uint64_t>(i - 8));
    if (c.request("POST", "/encoder/chunk", chunk) != 200)
      fail("/encoder/chunk failed");
  }
  // The replies come before the writers are done: the feed counts as through
  // once every output has taken it all.
  const uint64_t total = chunk.size() * static_cast<uint64_t>(chunks);
  await_outputs(c, outputs, total);
  const double took = seconds(Clock::now() - begin);
  c.request("POST", "/encoder/stop", "");
  return chunk.size() * static_cast<double>(chunks) / 1e6 / took;
}

// MB/s of feed written by a plain loop into `outputs` sink pipes.
double plain_rate(const std::string& sink, int outputs, const std::string& chunk, int chunks) {
  std::vector<int> pipes;
  std::vector<pid_t> pids;
  for (int i = 0; i < outputs; ++i) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      fail("pipe");
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // as the bridge's pipes
    pids.push_back(spawn({sink, "rtmp://127.0.0.1/sink/" + std::to_string(i)}, fds[0], -1));
    ::close(fds[0]);
    pipes.push_back(fds[1]);
  }
  const auto begin = Clock::now();
  for (int i = 0; i < chunks; ++i) {
    for (int fd : pipes) {
      std::string_view rest = chunk;
      while (!rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n <= 0)
          fail("write");
        rest.remove_prefix(static_cast<size_t>(n));
      }
    }
  }
  const double took = seconds(Clock::now() - begin);
  for (int fd : pipes)
    ::close(fd);
  for (pid_t pid : pids)
    ::waitpid(pid, nullptr, 0);
  return chunk.size() * static_cast<double>(chunks) / 1e6 / took;
}

// The process ID of output `id` in the status.
int pid_of(Connection& c, const std::string& id) {
  std::string body;
  c.request("GET", "/encoder/status", "", &body);
  const size_t at = body.find("\"id\":\"" + id + "\"");
  const size_t pid = body.find("\"processId\":", at);
  if (at == std::string::npos || pid == std::string::npos)
    fail("no output " + id);
  return std::atoi(body.c_str() + pid + 12);
}

struct Replies {
  double p99_ms = 0;
  double max_ms = 0;
  double dropped_after_s = -1;  // when the stuck output left the status
};

// Posts a 4.5 Mbit/s feed in 100 ms chunks, in real time, for `duration` to
// 3 sink outputs; with `stop_at` set, output o1 stops reading (SIGSTOP) then.
Replies real_time_feed(Connection& c, std::chrono::seconds duration,
                       std::optional<std::chrono::seconds> stop_at) {
  if (c.request("POST", "/encoder/start", start_payload(3, "sink")) != 200)
    fail("/encoder/start failed");
  const int stuck = pid_of(c, "o1");
  const std::string chunk(4500 * 1000 / 8 / 10, 'f');
  const auto period = std::chrono::milliseconds(100);
  const int chunks = static_cast<int>(duration / period);
  std::vector<double> ms;
  Replies out;
  const auto begin = Clock::now();
  for (int i = 0; i < chunks; ++i) {
    std::this_thread::sleep_until(begin + i * period);
    if (stop_at && Clock::now() - begin >= *stop_at && stuck > 0) {
      ::kill(stuck, SIGSTOP);
      stop_at.reset();
    }
    const auto sent = Clock::now();
    if (c.request("POST", "/encoder/chunk", chunk) != 200)
      fail("/encoder/chunk failed");
    ms.push_back(seconds(Clock::now() - sent) * 1000.0);
    if (out.dropped_after_s < 0 && i % 5 == 0) {
      std::string body;
      c.request("GET", "/encoder/status", "", &body);
      if (body.find("\"id\":\"o1\"") == std::string::npos)
        out.dropped_after_s = seconds(Clock::now() - begin);
    }
  }
  c.request("POST", "/encoder/stop", "");
  std::sort(ms.begin(), ms.end());
  out.p99_ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  out.max_ms = ms.back();
  return out;
}

// Mean milliseconds per request.
double mean_ms(Connection& c, const std::string& method, const std::string& path, int rounds) {
  const auto begin = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (c.request(method, path, "") != 200)
      fail(path + " failed");
  }
  return seconds(Clock::now() - begin) * 1000.0 / rounds;
}

// ---- Real encoding: shared against default mode ----

// The CPU of a process and of its reaped children, in seconds.
struct ProcessCpu {
  double self = 0;
  double children = 0;
};

ProcessCpu cpu_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos)
    fail("cannot read /proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> f;
  for (std::string x; fields >> x;)
    f.push_back(x);
  // After the name: state (3), ..., utime (14), stime (15), cutime (16), cstime (17).
  if (f.size() < 15)
    fail("short /proc stat");
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  ProcessCpu out;
  out.self = (std::stod(f[11]) + std::stod(f[12])) / tick;
  out.children = (std::stod(f[13]) + std::stod(f[14])) / tick;
  return out;
}

struct Destination {
  std::string id;
  std::string url;
  int video_kbps = 2500;
};

// A launch payload of 720p destinations from a 30 fps WebM feed with audio;
// "sharedEncoding" only when asked, so the default mode's payload is the
// plain one.
std::string encoding_payload(const std::vector<Destination>& destinations, bool shared) {
  std::string body = R"({"inputFormat":"webm","hasAudio":true,"fps":30,"videoBitrate":2500,)";
  if (shared)
    body += R"("sharedEncoding":true,)";
  body += R"("outputs":[)";
  for (size_t i = 0; i < destinations.size(); ++i) {
    const Destination& d = destinations[i];
    body += (i > 0 ? "," : "");
    body += R"({"id":")" + d.id + R"(","rtmpUrl":")" + d.url + R"(","resolution":"720p")";
    if (d.video_kbps != 2500)
      body += R"(,"videoBitrate":)" + std::to_string(d.video_kbps);
    body += "}";
  }
  return body + "]}";
}

// A bridge of its own for one case, so that its reaped children's CPU is
// that case's alone.
struct Bridge {
  pid_t pid = -1;
  int port = 0;
};

Bridge start_bridge(const std::vector<std::string>& env) {
  Bridge b;
  b.port = free_port();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0)
    fail("pipe");
  b.pid = spawn({std::string(WF_BIN_DIR) + "/audio-bridge", "--port", std::to_string(b.port)}, -1,
                out[1], env);
  ::close(out[1]);
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(out[0]);
  return b;
}

void end_bridge(const Bridge& b) {
  ::kill(b.pid, SIGTERM);
  ::waitpid(b.pid, nullptr, 0);
}

// Posts `feed` in real time in 100 ms chunks for `duration`, at the feed's
// mean byte rate over `feed_seconds`; `tick` runs before each chunk with the
// seconds since the first. Returns the chunks refused.
int post_real_time(Connection& c, const std::string& feed, double feed_seconds,
                   std::chrono::seconds duration, const std::function<void(double)>& tick) {
  const auto period = std::chrono::milliseconds(100);
  const size_t per_chunk = static_cast<size_t>(feed.size() / feed_seconds / 10);
  const int chunks = static_cast<int>(duration / period);
  int refused = 0;
  const auto begin = Clock::now();
  for (int i = 0; i < chunks; ++i) {
    std::this_thread::sleep_until(begin + i * period);
    if (tick)
      tick(seconds(Clock::now() - begin));
    const size_t at = static_cast<size_t>(i) * per_chunk;
    if (at >= feed.size())
      break;
    if (c.request("POST", "/encoder/chunk", feed.substr(at, per_chunk)) != 200)
      ++refused;
  }
  return refused;
}

// Watches a recording from a moment on and notes when it first holds media
// (more than the FLV header and metadata nginx writes when a publish begins).
class RecordingWatch {
 public:
  RecordingWatch(std::string path, Clock::time_point since)
      : path_(std::move(path)), since_(since), thread_([this] { run(); }) {}
  ~RecordingWatch() {
    quit_ = true;
    thread_.join();
  }
  /// Seconds from `since` to media in the recording; negative while none.
  double seconds_to_media() const { return result_.load(); }

 private:
  void run() {
    while (!quit_) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(path_, ec);
      if (!ec && size >= 4096) {
        result_ = seconds(Clock::now() - since_);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string path_;
  Clock::time_point since_;
  std::atomic<double> result_{-1};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

struct CpuCase {
  int destinations;
  bool shared;
  double children_s = 0;
  int refused = 0;
};

// One case: a fresh bridge, `destinations` on `rtmp`, the feed for
// `duration`, the stop, then the CPU its children used.
void run_cpu_case(CpuCase& k, const std::string& dir, RtmpPeer& rtmp, const std::string& feed,
                  double feed_seconds, std::chrono::seconds duration) {
  const Bridge b = start_bridge({"TMPDIR=" + dir});
  {
    Connection c(b.port);
    std::vector<Destination> ds;
    for (int i = 0; i < k.destinations; ++i) {
      const std::string key = std::string(k.shared ? "s" : "d") + std::to_string(k.destinations) +
                              "-" + std::to_string(i);
      ds.push_back({key, rtmp.url(key)});
    }
    std::string reply;
    if (c.request("POST", "/encoder/start", encoding_payload(ds, k.shared), &reply) != 200)
      fail("/encoder/start failed: " + reply);
    k.refused = post_real_time(c, feed, feed_seconds, duration, nullptr);
    c.request("POST", "/encoder/stop", "");
  }
  // The stop has reaped every child: their CPU is in the bridge's account.
  k.children_s = cpu_of(b.pid).children;
  end_bridge(b);
}

struct JoinFigures {
  double join_same_s = -1;  // a destination that joins a running encoder
  double join_new_s = -1;   // one that needs an encoder of its own
  double recovery_s = -1;   // from the server's return to media again
  bool other_kept_going = false;
  int refused = 0;
};

JoinFigures run_join_case(const std::string& dir, RtmpPeer& a, RtmpPeer& b, const std::string& feed,
                          double feed_seconds) {
  JoinFigures out;
  const Bridge bridge = start_bridge({"TMPDIR=" + dir});
  {
    Connection c(bridge.port);
    std::string reply;
    if (c.request("POST", "/encoder/start", encoding_payload({{"a1", a.url("a1")}}, true),
                  &reply) != 200)
      fail("/encoder/start failed: " + reply);
    std::optional<RecordingWatch> join_same, join_new, recovery;
    bool joined_same = false, joined_new = false, killed = false, restarted = false;
    std::uintmax_t a1_before_blink = 0;
    out.refused = post_real_time(c, feed, feed_seconds, std::chrono::seconds(30), [&](double t) {
      if (!joined_same && t >= 6) {
        joined_same = true;
        join_same.emplace(b.recording("b1"), Clock::now());
        if (c.request("POST", "/encoder/output/start",
                      encoding_payload({{"b1", b.url("b1")}}, true), &reply) != 200)
          fail("/encoder/output/start failed: " + reply);
      }
      if (!joined_new && t >= 11) {
        joined_new = true;
        join_new.emplace(a.recording("a2"), Clock::now());
        if (c.request("POST", "/encoder/output/start",
                      encoding_payload({{"a2", a.url("a2"), 1500}}, true), &reply) != 200)
          fail("/encoder/output/start failed: " + reply);
      }
      if (!killed && t >= 16) {
        killed = true;
        b.kill();
        std::error_code ec;
        a1_before_blink = std::filesystem::file_size(a.recording("a1"), ec);
        std::filesystem::remove(b.recording("b1"), ec);
      }
      if (!restarted && t >= 19) {
        restarted = true;
        if (!b.restart())
          fail("nginx did not come back");
        recovery.emplace(b.recording("b1"), Clock::now());
      }
    });
    out.join_same_s = join_same ? join_same->seconds_to_media() : -1;
    out.join_new_s = join_new ? join_new->seconds_to_media() : -1;
    out.recovery_s = recovery ? recovery->seconds_to_media() : -1;
    std::error_code ec;
    out.other_kept_going = std::filesystem::file_size(a.recording("a1"), ec) > a1_before_blink;
    c.request("POST", "/encoder/stop", "");
  }
  end_bridge(bridge);
  return out;
}

std::string figure(double s) {
  char text[32];
  if (s < 0)
    return "never";
  std::snprintf(text, sizeof text, "%.2f s", s);
  return text;
}

void encoding_bench(const std::string& dir) {
  // A program feed like a browser's: 720p30 VP8 + Opus at 3 Mbit/s, a
  // keyframe every 100 frames, live WebM (unknown sizes).
  const double feed_seconds = 32;
  const std::string feed_path = dir + "/feed.webm";
  const std::string make =
      "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000 -t 32 -c:v libvpx -deadline realtime -cpu-used 8 "
      "-b:v 3M -g 100 -c:a libopus -f webm -live 1 '" +
      feed_path + "'";
  if (std::system(make.c_str()) != 0)
    fail("cannot make the feed with ffmpeg");
  std::ifstream in(feed_path, std::ios::binary);
  const std::string feed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  RtmpPeer a(dir + "/rtmp-a"), b(dir + "/rtmp-b");
  if (!a.ready() || !b.ready())
    fail("nginx-rtmp did not start");

  const auto duration = std::chrono::seconds(20);
  CpuCase cases[] = {{1, false}, {3, false}, {1, true}, {3, true}};
  std::printf("\nreal encoding, 720p30 2500 kbit/s, a %.0f s WebM feed posted in real time\n",
              static_cast<double>(duration.count()));
  std::printf("%14s %14s %14s %10s\n", "mode", "destinations", "children CPU", "ratio");
  for (CpuCase& k : cases) {
    run_cpu_case(k, dir, a, feed, feed_seconds, duration);
  }
  const double baseline = cases[0].children_s;
  for (const CpuCase& k : cases) {
    std::printf(
        "%14s %14d %12.2f s %10.2f%s\n", k.shared ? "shared" : "default", k.destinations,
        k.children_s, k.children_s / baseline,
        k.refused > 0 ? ("  (" + std::to_string(k.refused) + " chunks refused)").c_str() : "");
  }
  std::printf("shared, 3 destinations / default, 1 destination: %.2f (goal <= 1.20)\n",
              cases[3].children_s / baseline);
  std::printf("default, 3 destinations / default, 1 destination: %.2f\n",
              cases[1].children_s / baseline);

  const JoinFigures j = run_join_case(dir, a, b, feed, feed_seconds);
  std::printf("join mid-stream, same settings (publisher only): %s (goal < 3 s)\n",
              figure(j.join_same_s).c_str());
  std::printf("join mid-stream, new settings (new encoder): %s (goal < 3 s)\n",
              figure(j.join_new_s).c_str());
  std::printf(
      "recovery from the RTMP server's return (down 3 s) to media again: %s (goal < 5 s); "
      "the destination on the other server %s\n",
      figure(j.recovery_s).c_str(), j.other_kept_going ? "kept recording" : "STALLED");
  if (j.refused > 0)
    std::printf("(%d chunks refused during the join run)\n", j.refused);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  int mib = 256;
  bool fan_out = true, encoding = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--encoding-only")
      fan_out = false;
    else if (arg == "--no-encoding")
      encoding = false;
    else
      mib = std::atoi(argv[i]);
  }
  char tmpl[] = "/tmp/wf-bench-encoder-XXXXXX";
  if (!::mkdtemp(tmpl))
    fail("mkdtemp");
  const std::string dir = tmpl;
  const std::string sink = dir + "/sink";
  { std::ofstream(sink) << SINK; }
  ::chmod(sink.c_str(), 0755);

  if (!fan_out) {
    encoding_bench(dir);
    std::filesystem::remove_all(dir);
    return 0;
  }
  const int port = free_port();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0)
    fail("pipe");
  const pid_t bridge =
      spawn({std::string(WF_BIN_DIR) + "/audio-bridge", "--port", std::to_string(port)}, -1, out[1],
            {"FFMPEG_PATH=" + sink, "TMPDIR=" + dir});
  ::close(out[1]);
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') {
  }

  std::string chunk(1 << 20, '\0');
  for (size_t i = 0; i < chunk.size(); ++i)
    chunk[i] = static_cast<char>(i * 131 + 7);
  {
    Connection conn(port);
    std::printf("feed fan-out, 1 MiB chunks, %d MiB of feed per case\n", mib);
    std::printf("%8s %16s %16s %8s\n", "outputs", "bridge MB/s", "plain MB/s", "ratio");
    {
      // The HTTP path alone: with nothing running every chunk is read whole
      // and refused with 502.
      const auto begin = Clock::now();
      for (int i = 0; i < mib; ++i) {
        if (conn.request("POST", "/encoder/chunk", chunk) != 502)
          fail("expected 502");
      }
      std::printf("%8d %16.1f %16s %8s  (HTTP ingestion only)\n", 0,
                  chunk.size() * static_cast<double>(mib) / 1e6 / seconds(Clock::now() - begin),
                  "-", "-");
    }
    for (int outputs : {1, 3, 8}) {
      const double plain = plain_rate(sink, outputs, chunk, mib);
      const double through = bridge_rate(conn, outputs, chunk, mib);
      std::printf("%8d %16.1f %16.1f %8.2f\n", outputs, through, plain, through / plain);
    }

    {
      const Replies healthy = real_time_feed(conn, std::chrono::seconds(10), std::nullopt);
      const Replies stuck =
          real_time_feed(conn, std::chrono::seconds(24), std::chrono::seconds(10));
      std::printf(
          "chunk replies, 4.5 Mbit/s in 100 ms chunks to 3 outputs: p99 %.2f ms (max %.2f) all "
          "healthy; p99 %.2f ms (max %.2f) with one that stops reading at 10 s, ratio %.2f; "
          "stuck output dropped %s%.1f s into the feed\n",
          healthy.p99_ms, healthy.max_ms, stuck.p99_ms, stuck.max_ms, stuck.p99_ms / healthy.p99_ms,
          stuck.dropped_after_s < 0 ? "never: " : "", stuck.dropped_after_s);
    }

    if (conn.request("POST", "/encoder/start", start_payload(8, "log")) != 200) {
      fail("/encoder/start failed");
    }
    // Let every sink finish writing its log.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string body;
    conn.request("GET", "/encoder/status", "", &body);
    const int rounds = 200;
    const double health = mean_ms(conn, "GET", "/health", rounds);
    const double status = mean_ms(conn, "GET", "/encoder/status", rounds);
    std::printf(
        "GET /encoder/status, 8 outputs, logs of ~32 KiB: %.3f ms (GET /health %.3f ms, "
        "ratio %.2f; %zu-byte reply)\n",
        status, health, status / health, body.size());
    conn.request("POST", "/encoder/stop", "");
  }
  ::kill(bridge, SIGTERM);
  ::waitpid(bridge, nullptr, 0);
  if (encoding)
    encoding_bench(dir);
  std::filesystem::remove_all(dir);
  return 0;
}
