// A long run of the built plugin-host under a steady stream of work, to show
// that it answers every request exactly and does not grow.
//
// The chain is eight test effects: a delay (the latency effect, its latency
// set through its state) and seven gains. The soak keeps a few "process"
// requests in flight, with changing contents and both block sizes, every so
// often a block of a refused size, and a "parameter" change on a varying gain
// insert every Nth block (now and then an out-of-range one, and a
// "parameters" read-back). Every reply is held against its request by the
// ledger (soak_ledger.h), which knows the exact samples the chain must
// produce. Once a second it samples the host's resident memory and open
// descriptors.
//
// It runs for --seconds and at least --round-trips blocks, whichever ends
// later, prints a table and exits 1 on any lost, duplicated, unexpected,
// reordered or wrong reply, on a host that does not exit cleanly at the end
// of its input, on descriptors that grow, or on resident memory that grows
// after the warm-up (the first minute) by more than --rss-bound-kib.
//
// Usage: soak_plugin_host [--seconds N] [--round-trips N] [--in-flight N]
//   [--parameter-every N] [--latency FRAMES] [--warm-seconds N]
//   [--rss-bound-kib N] [--reply-timeout SECONDS] [--seed N] [--host PATH]
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/line_child.h"
#include "bench/soak_ledger.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using wf::soak::Gains;
using wf::soak::Ledger;

namespace {

// The resident set may grow after the warm-up by allocator slack only. The
// host's working set per request is bounded by the requests in flight (each
// line, its samples and its reply are about 40 KiB for a 1024-frame block), so
// a steady host settles within the warm-up; 4 MiB leaves room for the three
// threads' malloc arenas to round up to new pages and still catches a leak
// of 4 bytes per round trip over a million round trips.
constexpr long DEFAULT_RSS_BOUND_KIB = 4096;

struct Options {
  double seconds = 600;
  uint64_t roundTrips = 1000000;
  int inFlight = 4;
  int parameterEvery = 16;
  int latency = 37;
  double warmSeconds = 60;
  long rssBoundKib = DEFAULT_RSS_BOUND_KIB;
  double replyTimeout = 30;
  uint64_t seed = 1;
  std::string host = std::string(WF_BIN_DIR) + "/plugin-host";
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) {
      throw std::runtime_error("missing value for " + name);
    }
    const std::string value = argv[++i];
    if (name == "--seconds") {
      options.seconds = std::stod(value);
    } else if (name == "--round-trips") {
      options.roundTrips = std::stoull(value);
    } else if (name == "--in-flight") {
      options.inFlight = std::max(1, std::stoi(value));
    } else if (name == "--parameter-every") {
      options.parameterEvery = std::max(1, std::stoi(value));
    } else if (name == "--latency") {
      options.latency = std::clamp(std::stoi(value), 0, 96000);
    } else if (name == "--warm-seconds") {
      options.warmSeconds = std::stod(value);
    } else if (name == "--rss-bound-kib") {
      options.rssBoundKib = std::stol(value);
    } else if (name == "--reply-timeout") {
      options.replyTimeout = std::stod(value);
    } else if (name == "--seed") {
      options.seed = std::stoull(value);
    } else if (name == "--host") {
      options.host = value;
    } else {
      throw std::runtime_error("unknown option " + name);
    }
  }
  return options;
}

// Little-endian bytes of a test effect's state.
json stateBytes(uint32_t bits) {
  return {{"component", {bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF, bits >> 24}}};
}

json insert(const char* name, int module, const json& state) {
  char classId[33];
  std::snprintf(classId, sizeof classId, "5746%04X0000000000000000%08X", module, 1);
  return {{"path", std::string(WF_TEST_PLUGIN_DIR) + "/" + name + ".vst3"},
          {"classId", classId},
          {"state", state}};
}

// Gain values the soak uses: k/16 for k = 4..12, factors 0.5 to 1.5, exact in
// both float and decimal, and never so large that seven of them overflow.
double gainValue(int k) {
  return k / 16.0;
}

void appendNumber(std::string& out, double value) {
  char text[32];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// One "process" line: `samples` numbers of the form k/4096 (exact floats).
std::string blockLine(uint64_t id, const std::vector<float>& samples, bool instrument) {
  std::string line = "{\"id\":" + std::to_string(id) + ",\"op\":\"process\",\"pcm\":[";
  line.reserve(samples.size() * 16 + 64);
  for (size_t k = 0; k < samples.size(); ++k) {
    if (k > 0) {
      line += ',';
    }
    appendNumber(line, static_cast<double>(samples[k]));
  }
  line += ']';
  if (instrument) {
    line += ",\"instrument\":true";
  }
  line += "}\n";
  return line;
}

struct Sample {
  double at;
  long rssKib;
  int fds;
  double cpuSeconds;
};

long residentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

// User and system time the process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  // Fields after the command name, which is in parentheses and may hold
  // blanks: state is field 3, utime 14, stime 15.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return 0.0;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) {
      ticks += std::strtod(field.c_str(), nullptr);
    }
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Seconds in which at least one task of the machine waited for a CPU, from
// the kernel's pressure accounting; 0 where it is missing. On a shared
// machine this tells a slow host from a busy machine.
double cpuPressure() {
  std::ifstream pressure("/proc/pressure/cpu");
  std::string word;
  while (pressure >> word) {
    if (word.rfind("total=", 0) == 0) {
      return std::strtod(word.c_str() + 6, nullptr) / 1e6;
    }
  }
  return 0.0;
}

std::string loadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one, five, fifteen;
  load >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

int openDescriptors(pid_t pid) {
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  ::closedir(dir);
  return count;
}

std::string formatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::string exitText(int status) {
  if (WIFEXITED(status)) {
    return "status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return std::string("killed by signal ") + ::strsignal(WTERMSIG(status));
  }
  return "unknown";
}

class Soak {
 public:
  explicit Soak(const Options& options)
      : options_(options),
        random_(options.seed),
        host_({options.host}),
        ledger_(wf::soak::ChainModel(options.latency), initialGains()) {}

  int run() {
    load();
    start_ = Clock::now();
    pressureAtStart_ = cpuPressure();
    nextSample_ = 0;
    sample();
    try {
      loop();
    } catch (const std::runtime_error& e) {
      // The host ended or stopped reading: what was in flight is lost.
      ledger_.giveUp();
      ended_ = e.what();
    }
    sample();
    // A host that hangs is not waited for; one that does not exit soon after
    // its input has ended counts as a failure too.
    exitStatus_ = host_.finish(ended_.empty() ? 30000 : 0);
    return report();
  }

 private:
  static Gains initialGains() {
    Gains gains{};
    for (int i = 0; i < wf::soak::GAIN_INSERTS; ++i) {
      gains[static_cast<size_t>(i)] = gainValue(4 + (3 * i) % 9);
    }
    return gains;
  }

  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void load() {
    json plugins = json::array();
    plugins.push_back(insert("latency", 2, stateBytes(static_cast<uint32_t>(options_.latency))));
    for (double value : initialGains()) {
      const float gain = static_cast<float>(value);
      uint32_t bits = 0;
      std::memcpy(&bits, &gain, sizeof bits);
      plugins.push_back(insert("gain", 1, stateBytes(bits)));
    }
    host_.write(json{{"id", 0}, {"op", "load"}, {"plugins", plugins}}.dump() + "\n");
    const auto reply = host_.readLine(60000);
    if (!reply || reply->find("\"ready\":true") == std::string::npos) {
      throw std::runtime_error("load failed: " + reply.value_or("no reply").substr(0, 300));
    }
  }

  bool keepSending() const {
    return !failed() && (now() < options_.seconds || blocksSent_ < options_.roundTrips);
  }
  bool failed() const { return ledger_.counts().errors() > 0; }

  void loop() {
    double lastReply = now();
    for (;;) {
      if (keepSending()) {
        while (ledger_.blocksInFlight() < static_cast<size_t>(options_.inFlight)) {
          sendBlock();
        }
      } else if (ledger_.inFlight() == 0) {
        return;
      }
      const double wait = std::max(0.0, std::min(nextSample_ - now(), 0.2));
      const auto line = host_.readLine(static_cast<int>(wait * 1000) + 1);
      const double at = now();
      if (at >= nextSample_) {
        sample();
      }
      if (!line) {
        if (ledger_.inFlight() > 0 && at - lastReply > options_.replyTimeout) {
          throw std::runtime_error("no reply for " + formatSeconds(options_.replyTimeout) + " s");
        }
        continue;
      }
      lastReply = at;
      const auto answered = ledger_.received(wf::soak::parseReply(*line));
      if (answered && answered->kind == Ledger::Kind::Block) {
        const double micros = 1e6 * (at - answered->sentAt);
        tripMicros_.push_back(micros);
        slow_ += micros > 100000 ? 1 : 0;
        if (micros > slowest_.micros) {
          slowest_ = {micros, answered->sentAt};
        }
      }
    }
  }

  void sendBlock() {
    const uint64_t id = nextId_++;
    ++blocksSent_;
    // Three quarters 1024-frame blocks, a quarter 256-frame instrument
    // blocks, and one in a thousand of a size the host must refuse (256
    // frames without "instrument", or 1023 frames).
    const uint32_t shape = random_() % 2000;
    size_t size = shape < 1500 ? 2048 : 512;
    bool instrument = size == 512;
    bool accepted = true;
    if (shape < 2) {
      size = shape == 0 ? 512 : 2046;
      instrument = false;
      accepted = false;
    }
    std::vector<float> samples(size);
    for (float& s : samples) {
      s = static_cast<float>(static_cast<int>(random_() % 8193) - 4096) / 4096.0f;
    }
    const std::string line = blockLine(id, samples, instrument);
    ledger_.sentBlock(id, samples, accepted, now());
    host_.write(line);
    if (blocksSent_ % static_cast<uint64_t>(options_.parameterEvery) == 0) {
      sendChange();
    }
  }

  void sendChange() {
    ++changeSlots_;
    if (changeSlots_ % 101 == 0) {
      const uint64_t id = nextId_++;
      const double value = changeSlots_ % 202 == 0 ? 1.0000001 : -0.0001;
      ledger_.sentRefusedChange(id, now());
      host_.write(
          json{{"id", id}, {"op", "parameter"}, {"index", 1}, {"parameter", 0}, {"value", value}}
              .dump() +
          "\n");
    }
    if (ledger_.changeOpen()) {
      return;
    }
    const int gain = static_cast<int>(random_() % wf::soak::GAIN_INSERTS);
    const double before = ledger_.lastSent(gain);
    double value = before;
    while (value == before) {
      value = gainValue(4 + static_cast<int>(random_() % 9));
    }
    const uint64_t id = nextId_++;
    ledger_.sentChange(id, gain, value, now());
    host_.write(json{{"id", id},
                     {"op", "parameter"},
                     {"index", gain + 1},
                     {"parameter", 0},
                     {"value", value}}
                    .dump() +
                "\n");
    if (changeSlots_ % 50 == 0) {
      const uint64_t readBack = nextId_++;
      ledger_.sentReadBack(readBack, gain, now());
      host_.write(json{{"id", readBack}, {"op", "parameters"}, {"index", gain + 1}}.dump() + "\n");
    }
  }

  void sample() {
    const Sample s{now(), residentKib(host_.pid()), openDescriptors(host_.pid()),
                   cpuSeconds(host_.pid())};
    samples_.push_back(s);
    nextSample_ += 1.0;
    // A line a minute on standard error, so that a long run shows it is alive.
    if (samples_.size() % 60 == 1 && samples_.size() > 1) {
      std::fprintf(stderr, "%4.0f s: %zu round trips, %.1f MiB, %d descriptors, %llu errors\n",
                   s.at, tripMicros_.size(), s.rssKib / 1024.0, s.fds,
                   static_cast<unsigned long long>(ledger_.counts().errors()));
    }
  }

  // The largest resident size and descriptor count of the warm-up, and the
  // last ones sampled.
  struct Memory {
    long warmRss = 0;
    long endRss = 0;
    long maxRss = 0;
    int warmFds = 0;
    int endFds = 0;
    double endCpu = 0;
  };
  Memory memory() const {
    Memory m;
    for (const Sample& s : samples_) {
      if (s.at <= options_.warmSeconds || &s == &samples_.front()) {
        m.warmRss = std::max(m.warmRss, s.rssKib);
        m.warmFds = std::max(m.warmFds, s.fds);
      }
      m.maxRss = std::max(m.maxRss, s.rssKib);
    }
    // The last sample taken while the host still ran (a host that has
    // ended shows no memory and no descriptors).
    for (auto s = samples_.rbegin(); s != samples_.rend(); ++s) {
      if (s->rssKib > 0) {
        m.endRss = s->rssKib;
        m.endFds = s->fds;
        m.endCpu = s->cpuSeconds;
        break;
      }
    }
    return m;
  }

  int report() {
    const double elapsed = now();
    const double waited = cpuPressure() - pressureAtStart_;
    const auto& c = ledger_.counts();
    const Memory m = memory();
    const double p50 = wf::soak::quantile(tripMicros_, 0.50);
    const double p99 = wf::soak::quantile(tripMicros_, 0.99);
    const double max =
        tripMicros_.empty() ? 0.0 : *std::max_element(tripMicros_.begin(), tripMicros_.end());
    const long growth = m.endRss - m.warmRss;
    const bool memoryOk = m.warmRss > 0 && m.endRss > 0 && growth <= options_.rssBoundKib;
    const bool fdsOk = m.warmFds > 0 && m.endFds <= m.warmFds;
    const bool cleanExit = WIFEXITED(exitStatus_) && WEXITSTATUS(exitStatus_) == 0;
    const bool pass = c.errors() == 0 && memoryOk && fdsOk && cleanExit && ended_.empty();

    std::printf("plugin-host soak: %s\n", options_.host.c_str());
    std::printf(
        "chain: delay (%d frames) + 7 gains; %d blocks in flight; a change every %d blocks\n",
        options_.latency, options_.inFlight, options_.parameterEvery);
    std::printf("%-20s %llu in %.0f s (%llu of 256 frames, %llu refused sizes)\n", "round trips",
                static_cast<unsigned long long>(tripMicros_.size()), elapsed,
                static_cast<unsigned long long>(c.shortBlocks),
                static_cast<unsigned long long>(c.refusedBlocks));
    std::printf("%-20s %.0f per second\n", "rate", tripMicros_.size() / std::max(elapsed, 1e-9));
    std::printf("%-20s p50 %.0f us, p99 %.0f us, max %.0f us (with %d in flight)\n",
                "round-trip time", p50, p99, max, options_.inFlight);
    std::printf("%-20s %llu over 100 ms; the slowest sent at %.0f s\n", "slow round trips",
                static_cast<unsigned long long>(slow_), slowest_.sentAt);
    std::printf("%-20s load average %s; some task waited for a CPU %.0f%% of the run\n", "machine",
                loadAverage().c_str(), 100.0 * waited / std::max(elapsed, 1e-9));
    std::printf(
        "%-20s %.1f MiB after %.0f s warm-up, %.1f MiB at the end (%+ld KiB, bound %ld "
        "KiB), max %.1f MiB\n",
        "resident memory", m.warmRss / 1024.0, options_.warmSeconds, m.endRss / 1024.0, growth,
        options_.rssBoundKib, m.maxRss / 1024.0);
    std::printf("%-20s %d after warm-up, %d at the end\n", "open descriptors", m.warmFds, m.endFds);
    std::printf(
        "%-20s %llu applied and seen in the samples, %llu read back, %llu refused as out "
        "of range\n",
        "parameter changes", static_cast<unsigned long long>(c.changesApplied),
        static_cast<unsigned long long>(c.readBacks),
        static_cast<unsigned long long>(c.refusedChanges));
    std::printf(
        "%-20s %llu (lost %llu, duplicated %llu, unexpected %llu, out of order %llu, "
        "mismatched %llu)\n",
        "errors", static_cast<unsigned long long>(c.errors()),
        static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.duplicated),
        static_cast<unsigned long long>(c.unexpected),
        static_cast<unsigned long long>(c.outOfOrder),
        static_cast<unsigned long long>(c.mismatched));
    const double hostCpu = m.endCpu - samples_.front().cpuSeconds;
    std::printf("%-20s %.0f s of CPU, %.0f us per round trip\n", "host CPU time", hostCpu,
                tripMicros_.empty() ? 0.0 : 1e6 * hostCpu / tripMicros_.size());
    std::printf("%-20s %s\n", "host exit", exitText(exitStatus_).c_str());
    if (!ended_.empty()) {
      std::printf("  before the end of the run: %s\n", ended_.c_str());
    }
    for (const std::string& problem : ledger_.problems()) {
      std::printf("  %s\n", problem.c_str());
    }
    if (!memoryOk) {
      std::printf(m.endRss > 0 ? "  resident memory grew by more than the bound after the warm-up\n"
                               : "  resident memory could not be read\n");
    }
    if (!fdsOk) {
      std::printf("  open descriptors grew after the warm-up\n");
    }
    std::printf("%-20s %s\n", "verdict", pass ? "pass" : "FAIL");
    return pass ? 0 : 1;
  }

  Options options_;
  std::mt19937_64 random_;
  wf::bench::LineChild host_;
  Ledger ledger_;
  Clock::time_point start_;
  double nextSample_ = 0;
  uint64_t nextId_ = 1;
  uint64_t blocksSent_ = 0;
  uint64_t changeSlots_ = 0;
  int exitStatus_ = 0;
  std::string ended_;
  std::vector<double> tripMicros_;
  uint64_t slow_ = 0;
  struct {
    double micros = 0;
    double sentAt = 0;
  } slowest_;
  double pressureAtStart_ = 0;
  std::vector<Sample> samples_;
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    const Options options = parseOptions(argc, argv);
    // Editors are not part of the soak; without a display the host opens none.
    ::unsetenv("DISPLAY");
    Soak soak(options);
    return soak.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak_plugin_host: %s\n", e.what());
    return 2;
  }
}
