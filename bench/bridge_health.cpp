// Load benchmark of GET /health over keep-alive connections with wrk: the
// bridge against nginx answering the same bytes from a `return 200`
// location, and the bridge with its access settings on (every request
// carrying the token and an allowed origin, as the front end's do) against
// the bridge with them off, all on loopback, measured in the same run.
//
// Usage: bench_bridge_health [seconds per run, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/core/access.h"
#include "bridge/http/request.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "loopback.h"

using wf::bench::free_port;
using wf::bench::port_open;

namespace {

const char* const BODY =
    R"({"dynamicOutputs":true,"outputProfiles":true,"inputContainers":["webm","mp4"],"ok":true,)"
    R"("encoderVersion":"0.3.1","encoderReady":true,"encoderError":null,"running":false,)"
    R"("sampleRate":48000,"inputChannels":0,"activeDeviceId":null})";

pid_t spawn(std::vector<std::string> argv, const std::vector<std::string>& env = {}) {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (auto& e : env)
      ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (auto& a : argv)
      args.push_back(a.data());
    args.push_back(nullptr);
    ::freopen("/dev/null", "w", stdout);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

struct Figures {
  double rps = 0;
  double p50_ms = 0;
  double p99_ms = 0;
};

double to_ms(const std::string& value, const std::string& unit) {
  double v = std::stod(value);
  if (unit == "us")
    return v / 1000;
  if (unit == "s")
    return v * 1000;
  return v;
}

const char* const TOKEN = "bench-token-0123456789abcdef";
const char* const ORIGIN = "http://127.0.0.1:5173";

FILE* start_wrk(int port, int connections, int seconds,
                const std::vector<std::string>& headers = {}) {
  std::string cmd = "wrk --latency -t" + std::to_string(connections > 1 ? 2 : 1) + " -c" +
                    std::to_string(connections) + " -d" + std::to_string(seconds) + "s";
  for (const auto& h : headers)
    cmd += " -H '" + h + "'";
  cmd += " http://127.0.0.1:" + std::to_string(port) + "/health 2>&1";
  return ::popen(cmd.c_str(), "r");
}

// wrk prints only at its end, so two can run at once and be read in turn.
Figures finish_wrk(FILE* p) {
  std::string out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p))
    out.append(buf, n);
  ::pclose(p);
  Figures f;
  std::smatch m;
  if (std::regex_search(out, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
    f.rps = std::stod(m[1]);
  }
  if (std::regex_search(out, m, std::regex(R"(50%\s+([0-9.]+)(us|ms|s))"))) {
    f.p50_ms = to_ms(m[1], m[2]);
  }
  if (std::regex_search(out, m, std::regex(R"(99%\s+([0-9.]+)(us|ms|s))"))) {
    f.p99_ms = to_ms(m[1], m[2]);
  }
  return f;
}

Figures wrk(int port, int connections, int seconds, const std::vector<std::string>& headers = {}) {
  return finish_wrk(start_wrk(port, connections, seconds, headers));
}

// Each figure's median over the runs, taken on its own.
Figures median(std::vector<Figures> runs) {
  auto pick = [&](double Figures::*field) {
    std::sort(runs.begin(), runs.end(),
              [&](const Figures& a, const Figures& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2].*field;
  };
  Figures m;
  m.rps = pick(&Figures::rps);
  m.p50_ms = pick(&Figures::p50_ms);
  m.p99_ms = pick(&Figures::p99_ms);
  return m;
}

// Nanoseconds per GET /health through the complete route table in process,
// the best of several rounds: the bridge's own work per request, without the
// sockets that dominate (and blur) the figures above.
double in_process_ns(const wf::bridge::AccessPolicy* policy,
                     const wf::bridge::HeaderList& headers) {
  using namespace wf::bridge;
  StreamSlot slot;
  EncoderList encoders;
  RouteContext context{std::make_shared<SharedState>(), &slot, &encoders, nullptr};
  context.access = policy;
  const int n = 20000;
  double best = 1e18;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
      auto request = std::make_unique<MemoryRequest>("GET", "/health", std::string(), headers);
      auto reply = request->reply();
      if (!handle_request(std::move(request), context) || reply->status != 200) {
        std::fprintf(stderr, "in-process /health failed\n");
        std::exit(1);
      }
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / n);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  auto dir =
      std::filesystem::temp_directory_path() / ("wf-bench-health-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "logs");

  const int bridge_port = free_port();
  pid_t bridge =
      spawn({std::string(WF_BIN_DIR) + "/audio-bridge", "--port", std::to_string(bridge_port)},
            {"FFMPEG_PATH=/bin/true"});
  const int guarded_port = free_port();
  pid_t guarded =
      spawn({std::string(WF_BIN_DIR) + "/audio-bridge", "--port", std::to_string(guarded_port)},
            {"FFMPEG_PATH=/bin/true", std::string("WRENFIELD_BRIDGE_TOKEN=") + TOKEN,
             std::string("WRENFIELD_BRIDGE_ORIGINS=app://wrenfield,") + ORIGIN});
  const std::vector<std::string> front_end = {std::string("Authorization: Bearer ") + TOKEN,
                                              std::string("Origin: ") + ORIGIN};

  const int nginx_port = free_port();
  std::string body = BODY;
  {
    std::ofstream conf(dir / "nginx.conf");
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (dir / "nginx.pid")
         << ";\nerror_log " << (dir / "logs/error.log")
         << ";\nevents { worker_connections 1024; }\n"
            "http {\n  access_log off;\n  server {\n    listen 127.0.0.1:"
         << nginx_port
         << ";\n    location = /health {\n      default_type application/json;\n"
            "      return 200 '"
         << body << "';\n    }\n  }\n}\n";
  }
  pid_t nginx = spawn({"nginx", "-p", dir.string(), "-c", (dir / "nginx.conf").string()});

  for (int i = 0;
       i < 200 && !(port_open(bridge_port) && port_open(nginx_port) && port_open(guarded_port));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  // The first /health runs the encoder probe; keep it out of the figures.
  wrk(bridge_port, 1, 1);
  wrk(nginx_port, 1, 1);
  wrk(guarded_port, 1, 1, front_end);

  std::printf("GET /health, keep-alive, %d s per run (wrk)\n", seconds);
  std::printf("%-8s %-12s %12s %10s %10s\n", "clients", "server", "req/s", "p50 ms", "p99 ms");
  bool goal = true;
  for (int clients : {1, 16}) {
    Figures b = wrk(bridge_port, clients, seconds);
    Figures n = wrk(nginx_port, clients, seconds);
    std::printf("%-8d %-12s %12.0f %10.3f %10.3f\n", clients, "audio-bridge", b.rps, b.p50_ms,
                b.p99_ms);
    std::printf("%-8d %-12s %12.0f %10.3f %10.3f\n", clients, "nginx", n.rps, n.p50_ms, n.p99_ms);
    double ratio = n.rps > 0 ? b.rps / n.rps : 0;
    std::printf("%-8d ratio bridge/nginx req/s: %.2f\n", clients, ratio);
    if (clients == 16) {
      goal = ratio >= 0.5 && b.p99_ms < 2.0;
    }
  }
  std::printf("goal (16 clients: ratio >= 0.5, p99 < 2 ms): %s\n", goal ? "met" : "not met");

  // Both bridges get the front end's requests, token and origin included,
  // so that only the settings differ. Off and on alternate, several rounds each, and the medians
  // are compared, so that load from elsewhere on the machine falls on both alike.
  const int rounds = 5;
  std::printf(
      "\nGET /health, access settings off vs on (token + allowed origin), median of %d "
      "alternating runs\n",
      rounds);
  std::printf("%-8s %-12s %12s %10s %10s\n", "clients", "settings", "req/s", "p50 ms", "p99 ms");
  bool close = true;
  for (int clients : {1, 16}) {
    std::vector<Figures> off, on;
    for (int r = 0; r < rounds; ++r) {
      off.push_back(wrk(bridge_port, clients, seconds, front_end));
      on.push_back(wrk(guarded_port, clients, seconds, front_end));
    }
    const Figures o = median(off), g = median(on);
    std::printf("%-8d %-12s %12.0f %10.3f %10.3f\n", clients, "off", o.rps, o.p50_ms, o.p99_ms);
    std::printf("%-8d %-12s %12.0f %10.3f %10.3f\n", clients, "on", g.rps, g.p50_ms, g.p99_ms);
    double ratio = o.rps > 0 ? g.rps / o.rps : 0;
    std::printf("%-8d ratio on/off req/s: %.2f\n", clients, ratio);
    close = close && ratio >= 0.9 && ratio <= 1.1;
  }
  std::printf("goal (on within 10%% of off, 1 and 16 clients): %s\n", close ? "met" : "not met");

  // Both at once: whatever else loads the machine loads both bridges alike.
  std::printf("\nGET /health, settings off and on side by side (two wrk at once), median of %d\n",
              rounds);
  std::printf("%-8s %12s %12s %10s\n", "clients", "off req/s", "on req/s", "on/off");
  bool side_close = true;
  for (int clients : {1, 16}) {
    std::vector<Figures> off, on;
    for (int r = 0; r < rounds; ++r) {
      FILE* a = start_wrk(bridge_port, clients, seconds, front_end);
      FILE* b = start_wrk(guarded_port, clients, seconds, front_end);
      off.push_back(finish_wrk(a));
      on.push_back(finish_wrk(b));
    }
    const Figures o = median(off), g = median(on);
    const double ratio = o.rps > 0 ? g.rps / o.rps : 0;
    std::printf("%-8d %12.0f %12.0f %10.2f\n", clients, o.rps, g.rps, ratio);
    side_close = side_close && ratio >= 0.9 && ratio <= 1.1;
  }
  std::printf("goal (side by side, on within 10%% of off): %s\n", side_close ? "met" : "not met");

  {
    // The readiness probe runs once, before the timed rounds.
    ::setenv("FFMPEG_PATH", "/bin/true", 1);
    auto policy =
        wf::bridge::parse_access_policy(TOKEN, std::string("app://wrenfield,") + ORIGIN).value();
    // The same requests, the front end's, reach both.
    const wf::bridge::HeaderList front_end_headers = {
        {"Host", "127.0.0.1"},
        {"Authorization", std::string("Bearer ") + TOKEN},
        {"Origin", ORIGIN}};
    in_process_ns(nullptr, front_end_headers);
    double off = 0, on = 0;
    // Alternating, each side keeps its best.
    for (int r = 0; r < 3; ++r) {
      const double o = in_process_ns(nullptr, front_end_headers);
      const double g = in_process_ns(&policy, front_end_headers);
      off = r == 0 ? o : std::min(off, o);
      on = r == 0 ? g : std::min(on, g);
    }
    std::printf("\nGET /health through the route table in process (no sockets), best of rounds\n");
    std::printf("settings off: %8.0f ns per request\n", off);
    std::printf("settings on:  %8.0f ns per request (%+.0f ns)\n", on, on - off);
    std::printf("ratio on/off: %.2f\n", on / off);
    std::printf("(the check's own cost; a request over a socket costs tens of microseconds)\n");
  }

  stop(bridge);
  stop(guarded);
  stop(nginx);
  std::filesystem::remove_all(dir);
  return 0;
}
