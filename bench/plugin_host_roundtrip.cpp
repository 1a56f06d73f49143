// Round trips of "process" requests through the built plugin-host: write one
// request line, read its reply line. Chains: empty, one gain insert, eight gain
// inserts; blocks of 1024 frames and of 256 frames (instrument requests).
// Baselines, measured in the same run: parsing the same request line and
// serialising the same reply in-process, once with the JSON library's
// document values and once with the program's own sample codec, which is the
// floor every round trip pays. Prints blocks per second, p50/p99 latency,
// the ratios to both and the share of the real-time budget at 48 kHz, and the
// share of CPU time the hypervisor took from this machine meanwhile (steal),
// which on a virtual machine is the first suspect for a poor p99.
//
// Then "scan": the first scan of a module, which runs in the scanner child,
// and a repeated scan of the same module, answered from the host's cache,
// both against loading the module and listing its classes in-process (what
// a scan cost before it moved to the child), measured in turn in the same
// run. A first scan needs a path the host has not seen: the bundle's path
// with one more trailing slash each time.
//
// Usage: bench_plugin_host [iterations] [other plugin-host]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/line_child.h"
#include "channel/envelope.h"
#include "channel/sample_text.h"
#include "hosting/host_context.h"
#include "hosting/module.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"
#include "scan/audio_classes.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int WARM_UP = 50;

using Host = wf::bench::LineChild;

struct Stats {
  double p50;
  double p99;
  double perSecond;
};

Stats stats(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  double total = 0;
  for (double m : micros) {
    total += m;
  }
  return {micros[micros.size() / 2], micros[micros.size() * 99 / 100],
          1e6 * static_cast<double>(micros.size()) / total};
}

std::string processLine(int frames, int id) {
  std::mt19937 random(42);
  std::uniform_real_distribution<float> level(-0.5f, 0.5f);
  json request = {{"id", id}, {"op", "process"}};
  json pcm = json::array();
  for (int i = 0; i < 2 * frames; ++i) {
    pcm.push_back(static_cast<double>(level(random)));
  }
  request["pcm"] = std::move(pcm);
  if (frames == 256) {
    request["instrument"] = true;
  }
  return request.dump() + "\n";
}

template <typename Work>
double timed(Work work) {
  const auto start = Clock::now();
  const size_t size = work();
  const auto end = Clock::now();
  if (size < 10) {
    throw std::runtime_error("empty reply");
  }
  return std::chrono::duration<double, std::micro>(end - start).count();
}

// Parse the request line, read its samples as floats, build the reply and
// serialise it, all with the JSON library. Microseconds.
double libraryOnce(const std::string& line) {
  return timed([&] {
    const json request = json::parse(line);
    const auto samples = request.at("pcm").get<std::vector<float>>();
    json reply = {{"id", request.at("id")}};
    json result = json::array();
    auto& values = result.get_ref<json::array_t&>();
    values.reserve(samples.size());
    for (float s : samples) {
      values.emplace_back(static_cast<double>(s));
    }
    reply["result"] = std::move(result);
    return (reply.dump(-1, ' ', false, json::error_handler_t::replace) + "\n").size();
  });
}

// The same with the program's own reading and writing of sample blocks.
// Microseconds.
double codecOnce(const std::string& line) {
  return timed([&] {
    wf::host::QueuedLine parsed;
    wf::host::routeLine(std::string_view(line).substr(0, line.size() - 1), parsed);
    if (!parsed.samples) {
      throw std::runtime_error("line not read as a sample block");
    }
    std::string text = "{\"id\":" + parsed.value.at("id").dump() + ",\"result\":";
    wf::host::appendSamples(text, *parsed.samples);
    text += "}\n";
    return text.size();
  });
}

// One round trip through the program. Microseconds.
double roundTripOnce(Host& host, const std::string& line) {
  {
    const auto start = Clock::now();
    host.write(line);
    const std::string reply = host.readLine();
    const auto end = Clock::now();
    if (reply.find("\"result\"") == std::string::npos) {
      throw std::runtime_error("process failed: " + reply.substr(0, 200));
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
  }
}

// The machine's CPU time so far, all of it and the part stolen by the
// hypervisor, in clock ticks; zeros where /proc/stat cannot be read.
std::pair<double, double> cpuTicks() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  double total = 0;
  double steal = 0;
  double value = 0;
  stat >> cpu;
  for (int field = 0; field < 8 && stat >> value; ++field) {
    total += value;
    if (field == 7) {
      steal = value;
    }
  }
  return {total, steal};
}

struct Measured {
  Stats library;
  Stats codec;
  Stats trip;
  /// The other program's round trips, when one is measured alongside.
  Stats otherTrip;
  double stealPercent;
};

// Baselines and round trips (of both programs, when there are two) alternate,
// so that all see the same machine load.
Measured measure(Host& host, Host* other, const std::string& line, int iterations) {
  std::vector<double> library;
  std::vector<double> codec;
  std::vector<double> trips;
  std::vector<double> otherTrips;
  const auto before = cpuTicks();
  for (int i = 0; i < WARM_UP + iterations; ++i) {
    const double l = libraryOnce(line);
    const double c = codecOnce(line);
    // The two programs take turns at going first.
    double t = 0.0;
    double o = 0.0;
    if (other && i % 2 == 1) {
      o = roundTripOnce(*other, line);
      t = roundTripOnce(host, line);
    } else {
      t = roundTripOnce(host, line);
      o = other ? roundTripOnce(*other, line) : 0.0;
    }
    if (i >= WARM_UP) {
      library.push_back(l);
      codec.push_back(c);
      trips.push_back(t);
      otherTrips.push_back(o);
    }
  }
  const auto after = cpuTicks();
  const double ticks = after.first - before.first;
  return {stats(std::move(library)), stats(std::move(codec)), stats(std::move(trips)),
          other ? stats(std::move(otherTrips)) : Stats{},
          ticks > 0 ? 100.0 * (after.second - before.second) / ticks : 0.0};
}

void load(Host& host, int inserts) {
  json plugins = json::array();
  for (int i = 0; i < inserts; ++i) {
    plugins.push_back({{"path", std::string(WF_TEST_PLUGIN_DIR) + "/gain.vst3"},
                       {"classId", "57460001000000000000000000000001"}});
  }
  host.write(json{{"id", "load"}, {"op", "load"}, {"plugins", plugins}}.dump() + "\n");
  const std::string reply = host.readLine();
  if (reply.find("\"ready\":true") == std::string::npos) {
    throw std::runtime_error("load failed: " + reply);
  }
}

// Loads the module, lists its audio classes and releases it, in this
// process. Microseconds.
double inProcessScanOnce(const std::string& path) {
  return timed([&] {
    std::string error;
    auto module = wf::hosting::Module::create(path, error);
    if (!module) {
      throw std::runtime_error("in-process scan failed: " + error);
    }
    return wf::host::audioClasses(module->factory()).dump().size();
  });
}

// One "scan" round trip through the program. Microseconds.
double scanOnce(Host& host, const std::string& path) {
  const auto start = Clock::now();
  host.write(json{{"id", "scan"}, {"op", "scan"}, {"path", path}}.dump() + "\n");
  const std::string reply = host.readLine();
  const auto end = Clock::now();
  if (reply.find("\"classId\"") == std::string::npos) {
    throw std::runtime_error("scan failed: " + reply.substr(0, 200));
  }
  return std::chrono::duration<double, std::micro>(end - start).count();
}

void measureScans(Host& host, int rounds) {
  Steinberg::Vst::HostApplication context;
  wf::hosting::setHostContext(&context);
  const std::string bundle = std::string(WF_TEST_PLUGIN_DIR) + "/gain.vst3";
  std::vector<double> inProcess;
  std::vector<double> first;
  std::vector<double> cached;
  std::string fresh = bundle;
  scanOnce(host, bundle);  // the cached path's first scan
  for (int i = 0; i < rounds; ++i) {
    inProcess.push_back(inProcessScanOnce(bundle));
    fresh += "/";
    first.push_back(scanOnce(host, fresh));
    cached.push_back(scanOnce(host, bundle));
  }
  wf::hosting::setHostContext(nullptr);
  const Stats base = stats(inProcess);
  const Stats child = stats(first);
  const Stats cache = stats(cached);
  std::printf("\nscan of the gain test module, %d per case (microseconds)\n", rounds);
  std::printf("%-24s %9s %9s %9s\n", "case", "p50", "p99", "x base");
  auto row = [&](const char* name, const Stats& s) {
    std::printf("%-24s %9.1f %9.1f %8.2fx\n", name, s.p50, s.p99, s.p50 / base.p50);
  };
  row("in-process (base)", base);
  row("first, in the child", child);
  row("repeated, from cache", cache);
  std::printf("goals: first scan under 50 ms, repeated scan under 0.2 ms (p50 above)\n");
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int iterations = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
  const std::string path = std::string(WF_BIN_DIR) + "/plugin-host";
  Host host({path});
  // A second argument names another plugin-host (a previous build, say),
  // whose round trips interleave with the built one's.
  std::unique_ptr<Host> other;
  if (argc > 2) {
    other = std::make_unique<Host>(std::vector<std::string>{argv[2]});
  }
  std::printf("%s process round trips, %d per case (p50/p99 in microseconds)\n", path.c_str(),
              iterations);
  std::printf("%-8s %-6s %9s %8s %8s %8s %8s %8s %8s %7s %7s %7s %6s\n", "chain", "frames",
              "blocks/s", "p50", "p99", "lib50", "lib99", "codec50", "codec99", "x lib", "x codec",
              "budget", "steal");
  for (int inserts : {0, 1, 8}) {
    load(host, inserts);
    if (other) {
      load(*other, inserts);
    }
    for (int frames : {1024, 256}) {
      const std::string line = processLine(frames, 1);
      const Measured m = measure(host, other.get(), line, iterations);
      const double budget = frames == 1024 ? 21333.0 : 5333.0;
      const char* chain = inserts == 0 ? "empty" : (inserts == 1 ? "1 gain" : "8 gains");
      auto row = [&](const char* name, const Stats& trip) {
        std::printf(
            "%-8s %-6d %9.0f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %6.2fx %6.2fx %6.1f%% %5.1f%%\n",
            name, frames, trip.perSecond, trip.p50, trip.p99, m.library.p50, m.library.p99,
            m.codec.p50, m.codec.p99, trip.p50 / m.library.p50, trip.p50 / m.codec.p50,
            100.0 * trip.p99 / budget, m.stealPercent);
      };
      row(chain, m.trip);
      if (other) {
        row("  other", m.otherTrip);
      }
    }
  }
  std::printf(
      "x lib, x codec = round-trip p50 / in-process p50 with the JSON library, with the "
      "program's codec;\nbudget = round-trip p99 / block duration at 48 kHz; steal = CPU time the "
      "hypervisor took during the case");
  if (other) {
    std::printf(";\n\"other\" rows: %s, measured in turn with the built program", argv[2]);
  }
  std::printf("\n");
  measureScans(host, 200);
  return 0;
}
