// The idle cost of plugin-host: CPU time and context switches per second of a
// host that has nothing to do, once with no editor and once with one open
// test editor on a private X server (Xvfb). Counted over every thread of the
// process: CPU time from /proc/PID/task/*/schedstat (nanoseconds on the CPU),
// switches from the voluntary and non-voluntary counts in
// /proc/PID/task/*/status; every switch of an idle thread is one wake-up.
//
// Usage: bench_plugin_host_idle [seconds] [other plugin-host...]
// The built program is measured first; each further program (a previous
// build, say) is measured the same way in the same run as a baseline.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/line_child.h"

using nlohmann::json;

namespace {

using Child = wf::bench::LineChild;

// One request, answered with a result, or an exception.
json request(Child& host, const json& value) {
  host.write(value.dump() + "\n");
  json reply = json::parse(host.readLine());
  if (!reply.contains("result")) {
    throw std::runtime_error("request failed: " + reply.dump());
  }
  return reply;
}

struct Usage {
  double cpuNs = 0;
  double switches = 0;
};

Usage usageOf(pid_t pid) {
  Usage usage;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double onCpu = 0;
    if (schedstat >> onCpu) {
      usage.cpuNs += onCpu;
    }
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        usage.switches += std::atof(line.substr(line.find(':') + 1).c_str());
      }
    }
  }
  return usage;
}

struct Rate {
  double cpuPercent;
  double switchesPerSecond;
};

// Lets the host settle after its last request, then measures it for `seconds`.
Rate measureIdle(pid_t pid, double seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto start = std::chrono::steady_clock::now();
  const Usage before = usageOf(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const Usage after = usageOf(pid);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {100.0 * (after.cpuNs - before.cpuNs) / 1e9 / elapsed,
          (after.switches - before.switches) / elapsed};
}

// A private X server; the display name it chose, read from -displayfd.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (pipe(fds) != 0) {
      throw std::runtime_error("pipe failed");
    }
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                                 "-screen", "0", "1280x1024x24"},
        std::vector<std::string>{}, false);
    close(fds[1]);
    char text[32] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof text) - 1) {
      const ssize_t n = ::read(fds[0], text + got, sizeof text - 1 - static_cast<size_t>(got));
      if (n <= 0 || text[got + n - 1] == '\n') {
        got += std::max<ssize_t>(n, 0);
        break;
      }
      got += n;
    }
    close(fds[0]);
    if (got <= 0) {
      throw std::runtime_error("Xvfb did not start");
    }
    const size_t length = static_cast<size_t>(got) - (text[got - 1] == '\n' ? 1 : 0);
    display_.assign(1, ':');
    display_.append(text, length);
  }
  const std::string& display() const { return display_; }

 private:
  std::unique_ptr<Child> server_;
  std::string display_;
};

json editorProbe() {
  return {{"path", std::string(WF_TEST_PLUGIN_DIR) + "/editor_probe.vst3"},
          {"classId", "57460052000000000000000000000001"}};
}

struct Result {
  Rate noEditor;
  Rate editor;
};

Result measureHost(const std::string& path, double seconds) {
  Result result{};
  {
    Child host({path}, {"DISPLAY="}, true);
    request(host, {{"id", 1}, {"op", "load"}, {"plugins", json::array()}});
    result.noEditor = measureIdle(host.pid(), seconds);
  }
  XServer x;
  Child host({path}, {"DISPLAY=" + x.display()}, true);
  request(host, {{"id", 1}, {"op", "load"}, {"plugins", json::array({editorProbe()})}});
  request(host, {{"id", 2}, {"op", "editor"}, {"index", 0}});
  result.editor = measureIdle(host.pid(), seconds);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 10.0;
  std::vector<std::string> hosts = {std::string(WF_BIN_DIR) + "/plugin-host"};
  for (int i = 2; i < argc; ++i) {
    hosts.emplace_back(argv[i]);
  }
  std::printf(
      "plugin-host at rest, %.0f s per case (CPU in %% of one core, wake-ups = "
      "context switches of all threads)\n",
      seconds);
  std::printf("%-40s %12s %12s %12s %12s\n", "program", "idle CPU", "idle wake/s", "editor CPU",
              "editor wake/s");
  std::vector<Result> results;
  for (const auto& path : hosts) {
    results.push_back(measureHost(path, seconds));
    const Result& r = results.back();
    std::printf("%-40s %11.4f%% %12.2f %11.4f%% %12.2f\n", path.c_str(), r.noEditor.cpuPercent,
                r.noEditor.switchesPerSecond, r.editor.cpuPercent, r.editor.switchesPerSecond);
  }
  for (size_t i = 1; i < results.size(); ++i) {
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf(
        "built / %s: idle CPU %.3fx, idle wake-ups %.3fx, editor CPU %.3fx, editor "
        "wake-ups %.3fx\n",
        hosts[i].c_str(), ratio(results[0].noEditor.cpuPercent, results[i].noEditor.cpuPercent),
        ratio(results[0].noEditor.switchesPerSecond, results[i].noEditor.switchesPerSecond),
        ratio(results[0].editor.cpuPercent, results[i].editor.cpuPercent),
        ratio(results[0].editor.switchesPerSecond, results[i].editor.switchesPerSecond));
  }
  const Rate& idle = results[0].noEditor;
  const bool met = idle.cpuPercent < 0.05 && idle.switchesPerSecond < 1.0;
  std::printf("goal, idle with no editor: under 0.05%% of a core and under 1 wake-up/s: %s\n",
              met ? "met" : "NOT met");
  return 0;
}
