// CPU time per second of `audio-capture --test-stream` (48 channels, 480
// frames every 10 ms), against the bare cost of computing the same sines in
// a plain loop, measured in the same run.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// The same signal computed without the program: one sine per sample.
double plainCpuSeconds(uint64_t packets) {
  std::vector<float> block(480 * 48);
  double start = threadCpuSeconds();
  volatile float sink = 0;
  for (uint64_t i = 0; i < packets; ++i) {
    for (uint32_t j = 0; j < 480; ++j) {
      double n = static_cast<double>(i * 480 + j);
      for (uint32_t k = 0; k < 48; ++k) {
        block[j * 48 + k] =
            static_cast<float>(0.1 * std::sin(6.283185307179586 * 220.0 * (k + 1) * n / 48000));
      }
    }
    sink = sink + block[i % block.size()];
  }
  return threadCpuSeconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
  double runSeconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  int out[2];
  if (pipe(out) != 0) {
    return 1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(AUDIO_CAPTURE_PATH, "audio-capture", "--test-stream", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::vector<char> buffer(1 << 20);
  uint64_t bytes = 0;
  Clock::time_point start = Clock::now();
  while (Clock::now() - start < std::chrono::duration<double>(runSeconds)) {
    ssize_t n = read(out[0], buffer.data(), buffer.size());
    if (n <= 0) {
      break;
    }
    bytes += static_cast<uint64_t>(n);
  }
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  kill(pid, SIGTERM);
  // Keep draining so the program can finish the packet it is writing.
  int status = 0;
  rusage usage{};
  for (;;) {
    if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      break;
    }
    if (read(out[0], buffer.data(), buffer.size()) <= 0) {
      wait4(pid, &status, 0, &usage);
      break;
    }
  }
  double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  uint64_t packets = bytes / (24 + 480 * 48 * 4);
  double plain = plainCpuSeconds(packets);
  std::printf("test-stream: %.2f s, %llu packets (%.1f per s, nominal 100)\n", wall,
              static_cast<unsigned long long>(packets), packets / wall);
  std::printf("test-stream CPU: %.4f s per s of stream (%.1f%% of a core)\n", cpu / wall,
              100 * cpu / wall);
  std::printf("plain sine loop for the same packets: %.4f s per s\n", plain / wall);
  std::printf("ratio program CPU / plain loop CPU: %.2f\n", plain > 0 ? cpu / plain : 0.0);
  return 0;
}
