#include "bridge/routes.h"

#include <gtest/gtest.h>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/health.h"
#include "bridge/http/request.h"
#include "bridge/metering/stream_slot.h"

namespace wf::bridge {
namespace {

TEST(Routes, PoisonedLockFailsHealthWhileDevicesStillAnswers) {
  FakeDeviceLayer layer;
  layer.add("Mic", {fixed_range(1, 48000)});
  StreamSlot slot;
  RouteContext context{std::make_shared<SharedState>(), &slot, nullptr, &layer};
  context.state->poison();

  for (const char* path : {"/health", "/meters"}) {
    auto request = std::make_unique<MemoryRequest>("GET", path);
    auto reply = request->reply();
    Status s = handle_request(std::move(request), context);
    ASSERT_FALSE(s.ok()) << path;
    EXPECT_EQ("state lock poisoned", s.error().message());
    EXPECT_EQ(500, reply->status);  // given up unanswered
    EXPECT_TRUE(reply->headers.empty());
  }

  auto request = std::make_unique<MemoryRequest>("GET", "/devices");
  auto reply = request->reply();
  ASSERT_TRUE(handle_request(std::move(request), context).ok());
  EXPECT_EQ(200, reply->status);
  EXPECT_NE(std::string::npos, reply->body.find("\"0:Mic\""));
}

TEST(Health, OnAPoisonedLockIsAGenericFailure) {
  RouteContext context{std::make_shared<SharedState>()};
  context.state->poison();
  const Route health[] = {{"GET", "/health", handle_health}};
  auto request = std::make_unique<MemoryRequest>("GET", "/health");
  auto reply = request->reply();
  Status s = dispatch(std::move(request), context, health);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ("state lock poisoned", s.error().message());
  EXPECT_EQ(500, reply->status);
}

}  // namespace
}  // namespace wf::bridge
