// Throughput of the capture writer (ring, writer loop, unbuffered writes of
// header and samples) for 64-channel 1024-frame packets into a pipe, against
// a plain loop writing the same bytes, two writes per packet, from a ring of
// the same 32 packets. Both measured in the same run, best of three; goal: a
// ratio of at least 0.8.
//
// Wall-clock throughput also carries the audio thread that keeps the
// writer's ring filled (two 256 KiB copies per packet, on a machine whose
// two cores also run the pipe's reader), so the writing thread's own CPU
// time per byte is printed as well: that is the writer's cost.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "audio-capture/listing/devices.h"
#include "audio-capture/platform/fake_platform.h"
#include "audio-capture/stream/capture.h"

namespace {

using namespace wf::capture;
using Wall = std::chrono::steady_clock;

constexpr uint32_t CHANNELS = 64;
constexpr uint32_t FRAMES = 1024;
constexpr size_t SAMPLE_BYTES = size_t{FRAMES} * CHANNELS * 4;
constexpr size_t PACKET_BYTES = PACKET_HEADER_BYTES + SAMPLE_BYTES;
constexpr uint64_t PACKETS = 4000;  // about 1 GiB

double threadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

struct Run {
  double wall = 0;
  double cpu = 0;
};

// Drains a pipe on its own thread until end of file.
class Drain {
 public:
  int writeEnd = -1;

  Drain() {
    int fds[2];
    if (pipe(fds) != 0) {
      std::abort();
    }
    readEnd_ = fds[0];
    writeEnd = fds[1];
    thread_ = std::thread([this] {
      std::vector<char> buffer(1 << 20);
      while (read(readEnd_, buffer.data(), buffer.size()) > 0) {
      }
    });
  }
  ~Drain() {
    close(writeEnd);
    thread_.join();
    close(readEnd_);
  }

 private:
  int readEnd_ = -1;
  std::thread thread_;
};

Run plainLoop() {
  Drain drain;
  std::vector<Packet> ring(RING_PACKETS);
  for (Packet& p : ring) {
    p.frames = FRAMES;
    std::fill(p.samples, p.samples + PACKET_SAMPLES, 0.25f);
  }
  auto writeAllPlain = [&](const void* data, size_t n) {
    auto* p = static_cast<const char*>(data);
    while (n > 0) {
      ssize_t w = write(drain.writeEnd, p, n);
      if (w <= 0) {
        std::abort();
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
  };
  Wall::time_point start = Wall::now();
  double cpuStart = threadCpu();
  for (uint64_t i = 0; i < PACKETS; ++i) {
    Packet& p = ring[i % RING_PACKETS];
    p.sequence = i;
    writeAllPlain(&p, PACKET_HEADER_BYTES);
    writeAllPlain(p.samples, SAMPLE_BYTES);
  }
  return {std::chrono::duration<double>(Wall::now() - start).count(), threadCpu() - cpuStart};
}

// Times the writer from its first write and stops it once every packet went out.
class CountingSink : public Sink {
 public:
  CountingSink(int fd, volatile std::sig_atomic_t& stop) : fd_(fd), stop_(stop) {}
  ssize_t write(const void* bytes, size_t length) override {
    if (total_ == 0) {
      start_ = Wall::now();
      cpuStart_ = threadCpu();
    }
    ssize_t n = fd_.write(bytes, length);
    total_ += static_cast<uint64_t>(std::max<ssize_t>(n, 0));
    if (total_ >= PACKETS * PACKET_BYTES && stop_ == 0) {
      run.wall = std::chrono::duration<double>(Wall::now() - start_).count();
      run.cpu = threadCpu() - cpuStart_;
      stop_ = 1;
    }
    return n;
  }
  Run run;

 private:
  FdSink fd_;
  volatile std::sig_atomic_t& stop_;
  uint64_t total_ = 0;
  Wall::time_point start_;
  double cpuStart_ = 0;
};

Run captureWriter() {
  Drain drain;
  FakePlatform fake;
  FakeDevice device;
  device.id = 2;
  device.uid = "bench";
  device.inputStreams = {CHANNELS};
  fake.properties->devices.push_back(device);
  volatile std::sig_atomic_t stop = 0;
  std::atomic<bool> done{false};
  CountingSink sink(drain.writeEnd, stop);
  std::ostringstream out, err;
  std::vector<float> block(size_t{FRAMES} * CHANNELS, 0.25f);
  std::thread producer;
  fake.units->status = [&](const std::string& call) {
    if (call == "stop") {
      // The unit stops its audio thread before it goes away.
      done = true;
      producer.join();
    } else if (call == "start") {
      FakeInputUnit* unit = fake.units->unit;
      producer = std::thread([&, unit] {
        // An audio thread that keeps the ring about half full.
        auto* capture = static_cast<Capture*>(unit->callback.context);
        while (!done) {
          uint32_t queued = capture->ring.queued();
          if (queued < RING_PACKETS / 2) {
            unit->deliver(FRAMES, 0, block);
          } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
        }
      });
    }
    return 0;
  };
  Io io{out, sink, err, steadyClock(), stop};
  capture("bench", devices(*fake.platform.properties), fake.platform, io);
  return sink.run;
}

}  // namespace

int main() {
  std::vector<Run> plain, writer;
  for (int round = 0; round < 3; ++round) {
    plain.push_back(plainLoop());
    writer.push_back(captureWriter());
  }
  auto best = [](const std::vector<Run>& runs) {
    Run b = runs[0];
    for (const Run& r : runs) {
      b.wall = std::min(b.wall, r.wall);
      b.cpu = std::min(b.cpu, r.cpu);
    }
    return b;
  };
  Run p = best(plain), w = best(writer);
  double mib = static_cast<double>(PACKETS * PACKET_BYTES) / (1 << 20);
  std::printf("packets: %llu of 64 channels x 1024 frames (%.0f MiB), best of 3\n",
              static_cast<unsigned long long>(PACKETS), mib);
  std::printf("wall clock:     plain %.0f MiB/s, capture writer %.0f MiB/s, ratio %.2f\n",
              mib / p.wall, mib / w.wall, p.wall / w.wall);
  std::printf(
      "writing thread: plain %.0f MiB per CPU s, capture writer %.0f MiB per CPU s, "
      "ratio %.2f\n",
      mib / p.cpu, mib / w.cpu, p.cpu / w.cpu);
  std::printf("goal: ratio >= 0.80\n");
  return 0;
}
