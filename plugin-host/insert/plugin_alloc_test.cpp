// Plugin::process is the audio worker's hot path: once an insert is loaded,
// a block allocates nothing, whatever the latency. This program counts every
// operator new of the process while a block runs, so it holds its own
// replacement of the global allocation functions and is kept apart from the
// other unit tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "hosting/host_context.h"
#include "insert/plugin.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace wf::host {
namespace {

using nlohmann::json;

json descriptor(const std::string& name, int module, int latency = -1) {
  char id[33];
  std::snprintf(id, sizeof id, "5746%04X0000000000000000000000%02X", module, 1);
  json d = {{"path", std::string(WF_TEST_PLUGIN_DIR) + "/" + name + ".vst3"}, {"classId", id}};
  if (latency >= 0) {
    const auto bits = static_cast<uint32_t>(latency);
    d["state"] = {
        {"component", {bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF, bits >> 24}}};
  }
  return d;
}

class PluginAllocations : public ::testing::Test {
 protected:
  void SetUp() override { hosting::setHostContext(&context_); }
  void TearDown() override { hosting::setHostContext(nullptr); }

  // Allocations during `blocks` blocks of 1024 frames, after a first block.
  long allocationsPerBlocks(Plugin& insert, int blocks, bool bypassed) {
    insert.bypass.store(bypassed);
    std::vector<float> samples(2048, 0.25f);
    const json events = json::array();
    insert.process(samples, events, 120.0, 0.0, true);
    allocations.store(0);
    counting.store(true);
    for (int i = 0; i < blocks; ++i) {
      std::fill(samples.begin(), samples.end(), 0.25f);
      insert.process(samples, events, 120.0, 0.0, true);
    }
    counting.store(false);
    return allocations.load();
  }

  Steinberg::Vst::HostApplication context_;
};

TEST_F(PluginAllocations, ABlockAllocatesNothingWithOrWithoutLatency) {
  struct Case {
    std::string name;
    json descriptor;
  };
  const Case cases[] = {
      {"gain", descriptor("gain", 1)},
      {"latency 0", descriptor("latency", 2, 0)},
      {"latency 64", descriptor("latency", 2, 64)},
      {"latency 4000", descriptor("latency", 2, 4000)},
  };
  for (const Case& c : cases) {
    Plugin insert;
    insert.load(c.descriptor, 48000.0);
    EXPECT_EQ(0, allocationsPerBlocks(insert, 32, false)) << c.name;
    EXPECT_EQ(0, allocationsPerBlocks(insert, 32, true)) << c.name << ", bypassed";
  }
}

}  // namespace
}  // namespace wf::host
