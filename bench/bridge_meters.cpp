// 1. update_meters on 48 channels × 1024 frames of each sample type, per
//    sample, against a plain pass that computes the same per-channel maxima
//    and sums of squares (goal: at most 1.5 times the plain pass).
// 2. GET /meters over HTTP on loopback, through the bridge's own HTTP
//    facility and route table, while a fake device delivers 48-channel
//    buffers at the real-time rate of 48 kHz (goal: p99 under 1 ms), against
//    the same requests with the stream open but idle.
// 3. GET /devices (goal: p99 under 20 ms) and POST /start of the sine source
//    (goal: p99 under 50 ms) through the platform's device layer, against a
//    private PulseAudio and a private PipeWire started here, each against
//    GET /meters on the same bridge.
//
// Usage: bench_bridge_meters [requests per latency run, default 4000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/http/http_server.h"
#include "bridge/metering/levels.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "pipewire_daemon.h"
#include "pulse_daemon.h"

using namespace wf::bridge;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t CHANNELS = 48;
constexpr size_t FRAMES = 1024;

template <class T>
std::vector<T> noise() {
  std::mt19937 rng(7);
  std::vector<T> out(CHANNELS * FRAMES);
  for (T& v : out) {
    if constexpr (std::is_floating_point_v<T>) {
      v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    } else {
      v = static_cast<T>(rng());
    }
  }
  return out;
}

inline float as_float(float x) {
  return x;
}
inline float as_float(int16_t v) {
  return static_cast<float>(v) * (1.0f / 32768.0f);
}
inline float as_float(uint16_t v) {
  return static_cast<float>(static_cast<int32_t>(v) - 32768) * (1.0f / 32768.0f);
}

// The plain pass: maxima of |x| and sums of squares per channel, nothing else.
template <class T>
__attribute__((noinline)) float plain_pass(const std::vector<T>& samples, float* peak, float* sum) {
  std::fill(peak, peak + CHANNELS, 0.0f);
  std::fill(sum, sum + CHANNELS, 0.0f);
  const T* in = samples.data();
  for (size_t i = 0; i < samples.size(); i += CHANNELS) {
    for (size_t c = 0; c < CHANNELS; ++c) {
      const float x = as_float(in[i + c]);
      peak[c] = std::max(peak[c], std::fabs(x));
      sum[c] += x * x;
    }
  }
  return peak[0] + sum[0];
}

template <class F>
double best_ns_per_sample(F&& run, int buffers) {
  double best = 1e30;
  for (int round = 0; round < 7; ++round) {
    const auto t0 = Clock::now();
    for (int i = 0; i < buffers; ++i)
      run();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    best = std::min(best, ns / (double(buffers) * CHANNELS * FRAMES));
  }
  return best;
}

template <class T>
void bench_update(const char* name) {
  const std::vector<T> samples = noise<T>();
  SharedState state;
  // The capture callback's own scratch, as a stream keeps it.
  MeterScratch scratch;
  float peak[CHANNELS];
  float sum[CHANNELS];
  volatile float sink = 0;
  const int buffers = 400;
  const double plain =
      best_ns_per_sample([&] { sink = sink + plain_pass(samples, peak, sum); }, buffers);
  const double update = best_ns_per_sample(
      [&] { update_meters(std::span<const T>(samples), CHANNELS, state, nullptr, &scratch); },
      buffers);
  std::printf(
      "update_meters %-4s %7.3f ns/sample   plain pass %7.3f ns/sample   ratio %.2f "
      "(goal <= 1.5)\n",
      name, update, plain, update / plain);
}

int connect_to(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

// One keep-alive request (a GET, or a POST of `body`); false when the reply
// is not a 200.
bool get(int fd, const std::string& path, std::string& buffer, const std::string& method = "GET",
         const std::string& body = {}) {
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (method == "POST") {
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  if (::send(fd, request.data(), request.size(), 0) != ssize_t(request.size()))
    return false;
  buffer.clear();
  size_t header_end = std::string::npos;
  size_t length = 0;
  char chunk[16384];
  while (true) {
    if (header_end == std::string::npos) {
      header_end = buffer.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        auto at = buffer.find("Content-Length: ");
        if (at == std::string::npos)
          at = buffer.find("content-length: ");
        length = std::strtoul(buffer.c_str() + at + 16, nullptr, 10);
      }
    }
    if (header_end != std::string::npos && buffer.size() >= header_end + 4 + length)
      break;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
      return false;
    buffer.append(chunk, size_t(n));
  }
  return buffer.compare(0, 12, "HTTP/1.1 200") == 0;
}

struct Latency {
  double p50_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  /// Requests that did not get a 200 (a /start the server did not open in
  /// time); counted, and timed like the others.
  int failed = 0;
};

Latency measure(uint16_t port, const std::string& path, int requests,
                const std::string& method = "GET", const std::string& body = {}) {
  int fd = connect_to(port);
  std::string buffer;
  std::vector<double> ms;
  ms.reserve(size_t(requests));
  int failed = 0;
  for (int i = 0; i < requests + 100; ++i) {
    const auto t0 = Clock::now();
    if (!get(fd, path, buffer, method, body)) {
      if (method == "POST" && buffer.compare(0, 12, "HTTP/1.1 500") == 0) {
        if (i >= 100) {
          ++failed;
          ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        // A failed request may end the connection.
        ::close(fd);
        fd = connect_to(port);
        continue;
      }
      std::fprintf(stderr, "%s %s failed\n", method.c_str(), path.c_str());
      std::exit(1);
    }
    if (i >= 100) {  // the first requests warm up the connection
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
  }
  ::close(fd);
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), failed};
}

// GET /devices and POST /start through the real device layer against a
// private sound server (two sources, one sink) at `address`, against GET
// /meters on the same bridge.
void bench_devices(const char* server_name, const std::string& address, int requests) {
  ::setenv("PULSE_SERVER", address.c_str(), 1);
  // The dispatch thread serves until the process ends; what it uses is
  // left to the end of the process with it.
  auto* layer = make_device_layer().release();
  auto* slot = new StreamSlot;
  auto* context = new RouteContext{std::make_shared<SharedState>(), slot, nullptr, layer};
  auto server = HttpServer::bind(0);
  if (!server) {
    std::fprintf(stderr, "bind: %s\n", server.error().message().c_str());
    std::exit(1);
  }
  const uint16_t port = (*server)->port();
  std::thread([context, s = std::move(server.value())] {
    while (RequestPtr request = s->next()) {
      if (Status st = handle_request(std::move(request), *context); !st) {
        std::fprintf(stderr, "request failed: %s\n", st.error().chain().c_str());
      }
    }
  }).detach();

  const Latency devices = measure(port, "/devices", requests);
  const Latency meters = measure(port, "/meters", requests);
  // Each /start releases the stream the one before it opened.
  const Latency start = measure(port, "/start", std::max(requests / 10, 100), "POST",
                                R"({"deviceId":"Sine source at 440 Hz"})");
  std::printf("%s:\n", server_name);
  std::printf("  GET /devices:                             p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
              devices.p50_ms, devices.p99_ms, devices.max_ms);
  std::printf(
      "  POST /start of the sine source:           p50 %.3f ms  p99 %.3f ms  max %.3f ms  "
      "(%d of %d failed)\n",
      start.p50_ms, start.p99_ms, start.max_ms, start.failed, std::max(requests / 10, 100));
  std::printf(
      "  GET /meters on the same bridge (baseline): p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
      meters.p50_ms, meters.p99_ms, meters.max_ms);
  std::printf("  p99 ratio devices/meters %.2f; goal p99 < 20 ms: %s\n",
              devices.p99_ms / meters.p99_ms, devices.p99_ms < 20.0 ? "met" : "missed");
  std::printf("  p99 ratio start/meters %.2f; goal p99 < 50 ms: %s\n", start.p99_ms / meters.p99_ms,
              start.p99_ms < 50.0 ? "met" : "missed");
  std::fflush(stdout);
}

void bench_pulseaudio(int requests) {
  wf::bench::PulseDaemon daemon;
  if (!daemon.ready()) {
    std::printf("PulseAudio: no private server could be started (skipped)\n");
    return;
  }
  bench_devices("PulseAudio", daemon.address(), requests);
}

void bench_pipewire(int requests) {
  wf::bench::PipeWireDaemon daemon;
  if (!daemon.ready()) {
    std::printf("PipeWire: no private server could be started (skipped)\n");
    return;
  }
  bench_devices("PipeWire (pipewire-pulse)", daemon.address(), requests);
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 4000;

  bench_update<float>("F32");
  bench_update<int16_t>("I16");
  bench_update<uint16_t>("U16");

  FakeDeviceLayer layer;
  auto device = layer.add("Bench interface", {fixed_range(CHANNELS, 48000)});
  layer.default_input = device;
  StreamSlot slot;
  RouteContext context{std::make_shared<SharedState>(), &slot, nullptr, &layer};

  auto server = HttpServer::bind(0);
  if (!server) {
    std::fprintf(stderr, "bind: %s\n", server.error().message().c_str());
    return 1;
  }
  const uint16_t port = (*server)->port();
  std::thread dispatch([&] {
    while (RequestPtr request = (*server)->next()) {
      if (Status s = handle_request(std::move(request), context); !s) {
        std::fprintf(stderr, "request failed: %s\n", s.error().chain().c_str());
      }
    }
  });

  // POST /start through the same path, so the fake stream is the bridge's.
  {
    int fd = connect_to(port);
    const std::string start = "POST /start HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n";
    ::send(fd, start.data(), start.size(), 0);
    char reply[1024];
    ::recv(fd, reply, sizeof reply, 0);
    ::close(fd);
  }
  auto stream = device->last_stream();
  if (!stream || !stream->playing()) {
    std::fprintf(stderr, "the fake stream did not start\n");
    return 1;
  }

  const Latency idle = measure(port, "/meters", requests);

  std::atomic<bool> feeding{true};
  std::atomic<long> delivered{0};
  std::thread feeder([&] {
    const std::vector<float> buffer = noise<float>();
    const auto period = std::chrono::duration<double>(double(FRAMES) / 48000.0);
    auto next = Clock::now();
    while (feeding.load()) {
      stream->deliver(std::span<const float>(buffer));
      delivered.fetch_add(1);
      next += std::chrono::duration_cast<Clock::duration>(period);
      std::this_thread::sleep_until(next);
    }
  });
  const auto t0 = Clock::now();
  const Latency busy = measure(port, "/meters", requests);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  feeding.store(false);
  feeder.join();

  std::printf("GET /meters, 48 channels, stream idle:      p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
              idle.p50_ms, idle.p99_ms, idle.max_ms);
  std::printf(
      "GET /meters, 48 ch × 1024 frames at 48 kHz: p50 %.3f ms  p99 %.3f ms  max %.3f ms "
      "(%.1f buffers/s delivered)\n",
      busy.p50_ms, busy.p99_ms, busy.max_ms, double(delivered.load()) / seconds);
  std::printf("p99 ratio busy/idle %.2f; goal p99 < 1 ms: %s\n", busy.p99_ms / idle.p99_ms,
              busy.p99_ms < 1.0 ? "met" : "missed");
  std::fflush(stdout);

  bench_pulseaudio(std::max(requests / 8, 100));
  bench_pipewire(std::max(requests / 8, 100));
  // The facility serves until its listener fails; end the process here.
  std::_Exit(0);
}
