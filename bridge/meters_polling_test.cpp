// /meters polled over HTTP by several clients at once while the device
// delivers buffers from its own thread, as in the running bridge: the real
// HTTP facility and route table on one dispatch thread, a fake device layer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/http/http_server.h"
#include "bridge/metering/levels.h"
#include "bridge/metering/stream_slot.h"
#include "bridge/routes.h"
#include "testing/http_client.h"
#include "testing/wait_for.h"

namespace wf::bridge {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using wf::testing::HttpConnection;

constexpr uint16_t CHANNELS = 8;
constexpr size_t FRAMES = 256;
// Every buffer holds one amplitude on every channel, so any one buffer shows
// the same peak and RMS on all channels; powers of two keep RMS exact.
constexpr float AMPLITUDES[] = {0.5f, 0.25f, 0.125f, 1.0f};

// The bridge's dispatch loop over the complete route table, on its own thread.
class Bridge {
 public:
  explicit Bridge(FakeDeviceLayer& layer) {
    auto bound = HttpServer::bind(0);
    EXPECT_TRUE(bound.ok());
    server_ = std::move(*bound);
    context_.state = std::make_shared<SharedState>();
    context_.stream = &slot_;
    context_.devices = &layer;
    dispatch_ = std::thread([this] {
      while (RequestPtr request = server_->next()) {
        const bool last = stopping_.load();
        Status s = handle_request(std::move(request), context_);
        EXPECT_TRUE(s.ok()) << s.error().chain();
        if (last) {
          break;
        }
      }
    });
  }

  ~Bridge() {
    // One more request (a 404) wakes the loop to see the flag.
    stopping_ = true;
    wf::testing::httpRequest(port(), "GET", "/");
    dispatch_.join();
    slot_.release();
  }

  int port() const { return server_->port(); }

 private:
  std::unique_ptr<HttpServer> server_;
  StreamSlot slot_;
  RouteContext context_;
  std::atomic<bool> stopping_{false};
  std::thread dispatch_;
};

// The capture side: delivers buffers as fast as it can from its own thread
// until stopped, cycling through the amplitudes.
class Delivery {
 public:
  explicit Delivery(std::shared_ptr<FakeStreamControl> stream) {
    thread_ = std::thread([this, stream] {
      std::vector<float> buffer(FRAMES * CHANNELS);
      for (size_t k = 0; !stop_.load(); ++k) {
        std::fill(buffer.begin(), buffer.end(), AMPLITUDES[k % std::size(AMPLITUDES)]);
        if (stream->deliver(std::span<const float>(buffer))) {
          ++delivered_;
        }
      }
    });
  }
  ~Delivery() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  uint64_t delivered() const { return delivered_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> delivered_{0};
  std::thread thread_;
};

// What one /meters reply must look like while the stream runs; returns the
// level all channels show, or NaN after recording a failure.
float check_running_meters(const wf::testing::HttpResponse& reply) {
  EXPECT_EQ(200, reply.status);
  json body = json::parse(reply.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    ADD_FAILURE() << "not a JSON object: " << reply.body;
    return NAN;
  }
  EXPECT_EQ(true, body["running"]) << reply.body;
  EXPECT_EQ(48000, body["sampleRate"]) << reply.body;
  EXPECT_EQ(CHANNELS, body["inputChannels"]) << reply.body;
  EXPECT_TRUE(body["updatedMsAgo"].is_number_unsigned()) << reply.body;
  const json& meters = body["meters"];
  if (!meters.is_array() || meters.size() != CHANNELS) {
    ADD_FAILURE() << "meter list of the wrong length: " << reply.body;
    return NAN;
  }
  const float shown = static_cast<float>(meters[0]["peak"].get<double>());
  for (size_t c = 0; c < CHANNELS; ++c) {
    EXPECT_EQ(c, meters[c]["channel"]) << reply.body;
    // One buffer's levels, never a mix of two.
    EXPECT_EQ(shown, static_cast<float>(meters[c]["peak"].get<double>())) << reply.body;
    EXPECT_EQ(shown, static_cast<float>(meters[c]["rms"].get<double>())) << reply.body;
  }
  return shown;
}

TEST(MetersWhileCapturing, EveryPollerSeesWholeMeterListsOfOneBuffer) {
  FakeDeviceLayer layer;
  auto mic = layer.add("Mic", {fixed_range(CHANNELS, 48000)});
  layer.default_input = mic;
  Bridge bridge(layer);

  auto started = wf::testing::httpRequest(bridge.port(), "POST", "/start", R"({"deviceId":"Mic"})");
  ASSERT_TRUE(started);
  ASSERT_EQ(200, started->status) << started->body;
  ASSERT_TRUE(mic->last_stream());
  Delivery delivery(mic->last_stream());
  ASSERT_TRUE(wf::testing::waitFor([&] { return delivery.delivered() > 0; }, 30s,
                                   "the first buffer to be delivered"));

  // The first buffer has replaced the initial -70 on every channel.
  std::set<float> possible;
  for (float a : AMPLITUDES) {
    possible.insert(level(a));
  }
  std::mutex seen_mutex;
  std::set<float> seen;
  auto seen_count = [&] {
    std::lock_guard<std::mutex> l(seen_mutex);
    return seen.size();
  };

  // Each poller keeps going until it has made its share of polls and the
  // pollers together have seen the levels change, so the polls overlap
  // deliveries however the machine schedules the threads.
  constexpr int POLLERS = 4;
  constexpr int POLLS = 100;
  std::vector<std::thread> pollers;
  for (int p = 0; p < POLLERS; ++p) {
    pollers.emplace_back([&] {
      HttpConnection connection(bridge.port());
      const auto give_up = std::chrono::steady_clock::now() + 120s;
      for (int n = 0; n < POLLS || seen_count() < 3; ++n) {
        if (std::chrono::steady_clock::now() > give_up) {
          ADD_FAILURE() << "the levels did not change while polling";
          return;
        }
        ASSERT_TRUE(connection.send("GET", "/meters"));
        auto reply = connection.read();
        ASSERT_TRUE(reply);
        const float shown = check_running_meters(*reply);
        if (std::isnan(shown)) {
          return;
        }
        EXPECT_TRUE(possible.count(shown)) << reply->body;
        std::lock_guard<std::mutex> l(seen_mutex);
        seen.insert(shown);
      }
    });
  }
  for (auto& t : pollers) {
    t.join();
  }

  // Stopping while buffers still arrive: once /stop has answered, no buffer
  // reaches the state any more (one would show `running` again).
  auto stopped = wf::testing::httpRequest(bridge.port(), "POST", "/stop");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(200, stopped->status);
  auto after = wf::testing::httpRequest(bridge.port(), "GET", "/meters");
  ASSERT_TRUE(after);
  json body = json::parse(after->body);
  EXPECT_EQ(false, body["running"]);
  EXPECT_EQ(json::array(), body["meters"]);
}

}  // namespace
}  // namespace wf::bridge
