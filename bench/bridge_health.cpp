// Load benchmark of GET /health over keep-alive connections with wrk: the
// bridge against nginx answering the same bytes from a `return 200`
// location, both on loopback, measured in the same run.
//
// Usage: bench_bridge_health [seconds per run, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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

Figures wrk(int port, int connections, int seconds) {
  std::string cmd = "wrk --latency -t" + std::to_string(connections > 1 ? 2 : 1) + " -c" +
                    std::to_string(connections) + " -d" + std::to_string(seconds) +
                    "s http://127.0.0.1:" + std::to_string(port) + "/health 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
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

  for (int i = 0; i < 200 && !(port_open(bridge_port) && port_open(nginx_port)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  // The first /health runs the encoder probe; keep it out of the figures.
  wrk(bridge_port, 1, 1);
  wrk(nginx_port, 1, 1);

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

  stop(bridge);
  stop(nginx);
  std::filesystem::remove_all(dir);
  return 0;
}
