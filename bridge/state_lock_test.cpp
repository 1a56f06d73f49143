// The state routes hold the state lock only while they copy the record: the
// capture callback, which takes the same lock for every buffer, goes on while
// /health probes the encoder program and while any of the three routes waits
// for a slow client to take its reply.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/metering/levels.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// A point that a thread reaches and waits at until the test opens it.
class Gate {
 public:
  void pass() {
    std::unique_lock<std::mutex> l(mutex_);
    reached_ = true;
    open_cv_.wait(l, [&] { return open_; });
  }
  bool reached() const {
    std::lock_guard<std::mutex> l(mutex_);
    return reached_;
  }
  void open() {
    {
      std::lock_guard<std::mutex> l(mutex_);
      open_ = true;
    }
    open_cv_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable open_cv_;
  bool reached_ = false;
  bool open_ = false;
};

// A client that takes its reply only when the test lets it.
class SlowClientRequest : public MemoryRequest {
 public:
  SlowClientRequest(std::string method, std::string target, Gate& gate)
      : MemoryRequest(std::move(method), std::move(target)), gate_(gate) {}
  Status respond(uint16_t status, const HeaderList& headers, std::string body) override {
    gate_.pass();
    return MemoryRequest::respond(status, headers, std::move(body));
  }

 private:
  Gate& gate_;
};

class StateLockTest : public ::testing::Test {
 protected:
  StateLockTest() {
    mic_ = layer_.add("Mic", {fixed_range(2, 48000)});
    layer_.default_input = mic_;
    context_.state = std::make_shared<SharedState>();
    context_.stream = &slot_;
    context_.devices = &layer_;
    context_.encoder_ready = [] { return true; };
    auto start = std::make_unique<MemoryRequest>("POST", "/start");
    auto reply = start->reply();
    EXPECT_TRUE(handle_request(std::move(start), context_).ok());
    EXPECT_EQ(200, reply->status);
  }
  ~StateLockTest() override { slot_.release(); }

  // Runs `request` on a dispatch thread of its own; once it waits at `gate`,
  // `capture` must get through on another thread before the gate opens.
  std::shared_ptr<const MemoryRequest::Reply> expect_capture_passes_while_held(
      std::unique_ptr<MemoryRequest> request, Gate& gate, const std::function<void()>& capture) {
    auto reply = request->reply();
    std::thread dispatch([&, r = std::move(request)]() mutable {
      EXPECT_TRUE(handle_request(std::move(r), context_).ok());
    });
    EXPECT_TRUE(wf::testing::waitFor([&] { return gate.reached(); }, 30s,
                                     "the request to wait at its gate"));
    std::atomic<bool> captured{false};
    std::thread audio([&] {
      capture();
      captured = true;
    });
    EXPECT_TRUE(wf::testing::waitFor([&] { return captured.load(); }, 10s,
                                     "the capture callback to get through while the request "
                                     "waits"));
    gate.open();
    audio.join();
    dispatch.join();
    return reply;
  }

  BridgeState snapshot() {
    auto g = context_.state->lock();
    return **g;
  }

  FakeDeviceLayer layer_;
  std::shared_ptr<FakeDevice> mic_;
  StreamSlot slot_;
  RouteContext context_;
};

TEST_F(StateLockTest, TheCaptureCallbackIsNotHeldUpByTheEncoderProbe) {
  Gate probe;
  context_.encoder_ready = [&] {
    probe.pass();
    return false;
  };
  std::vector<float> buffer = {0.5f, 0.5f, 0.5f, 0.5f};
  auto reply = expect_capture_passes_while_held(
      std::make_unique<MemoryRequest>("GET", "/health"), probe,
      [&] { EXPECT_TRUE(mic_->last_stream()->deliver(std::span<const float>(buffer))); });
  EXPECT_EQ(200, reply->status);
  // The reply shows the state as it was copied, byte for byte as before.
  EXPECT_EQ(
      R"({"dynamicOutputs":true,"outputProfiles":true,"inputContainers":["webm","mp4"],"ok":true,)"
      R"("encoderVersion":"0.3.1","encoderReady":false,"encoderError":"The bundled media encoder )"
      R"(could not start. Repair the Wrenfield Desktop installation and retry.","running":true,)"
      R"("sampleRate":48000,"inputChannels":2,"activeDeviceId":"Mic"})",
      reply->body);
  EXPECT_NEAR(-6.0206, snapshot().meters[0].peak, 1e-4);
}

TEST_F(StateLockTest, TheCaptureCallbackIsNotHeldUpByASlowClient) {
  struct Case {
    const char* method;
    const char* path;
  };
  const Case cases[] = {{"GET", "/health"}, {"GET", "/meters"}, {"POST", "/stop"}};
  float amplitude = 0.5f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Gate client;
    // /stop releases the stream first; the callback's work on the state is
    // what must not wait, so it runs here on the state directly.
    std::vector<float> buffer(4, amplitude);
    auto reply = expect_capture_passes_while_held(
        std::make_unique<SlowClientRequest>(c.method, c.path, client), client,
        [&] { update_meters(std::span<const float>(buffer), 2, *context_.state); });
    EXPECT_EQ(200, reply->status);
    EXPECT_NEAR(level(amplitude), snapshot().meters[0].peak, 1e-4);
    amplitude /= 2;
  }
}

}  // namespace
}  // namespace wf::bridge
