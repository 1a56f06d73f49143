#include "bridge/metering/metering.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include <nlohmann/json.hpp>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/http/request.h"

namespace wf::bridge {
namespace {

using SF = SampleFormat;
using nlohmann::json;

class MeteringTest : public ::testing::Test {
 protected:
  MeteringTest() {
    mic_ = layer_.add("Mic", {fixed_range(2, 48000, SF::F32)});
    interface_ = layer_.add("Interface", {fixed_range(8, 44100, SF::I16)});
    layer_.default_input = mic_;
  }

  struct Outcome {
    Status status;
    std::shared_ptr<const MemoryRequest::Reply> reply;
  };
  Outcome call(Handler handler, const std::string& method, const std::string& path,
               const std::string& body = {}) {
    auto request = std::make_unique<MemoryRequest>(method, path, body);
    auto reply = request->reply();
    Status s = handler(std::move(request), context_);
    return {s, reply};
  }
  Outcome start(const std::string& body = {}) { return call(handle_start, "POST", "/start", body); }
  Outcome stop() { return call(handle_stop, "POST", "/stop"); }
  json meters() {
    auto out = call(handle_meters, "GET", "/meters");
    EXPECT_TRUE(out.status.ok());
    EXPECT_EQ(200, out.reply->status);
    return json::parse(out.reply->body);
  }
  BridgeState snapshot() {
    auto g = context_.state->lock();
    return **g;
  }

  void expect_started(const Outcome& o) {
    ASSERT_TRUE(o.status.ok()) << o.status.error().chain();
    EXPECT_EQ(200, o.reply->status);
    EXPECT_EQ(R"({"ok":true})", o.reply->body);
  }

  FakeDeviceLayer layer_;
  StreamSlot slot_;
  RouteContext context_{std::make_shared<SharedState>(), &slot_, nullptr, &layer_};
  std::shared_ptr<FakeDevice> mic_;
  std::shared_ptr<FakeDevice> interface_;
};

TEST_F(MeteringTest, MetersBeforeAnyStart) {
  json m = meters();
  EXPECT_EQ(false, m["running"]);
  EXPECT_EQ(48000, m["sampleRate"]);
  EXPECT_EQ(0, m["inputChannels"]);
  EXPECT_EQ(json::array(), m["meters"]);
  EXPECT_TRUE(m["updatedMsAgo"].is_number_unsigned());
}

TEST_F(MeteringTest, EmptyBodyOpensTheDefaultDeviceAndShowsMinus70) {
  expect_started(start(" \r\n\t"));
  auto stream = mic_->last_stream();
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->playing());
  EXPECT_EQ(2, stream->request().channels);
  EXPECT_EQ(48000u, stream->request().sample_rate);
  EXPECT_EQ(SF::F32, stream->format());
  EXPECT_EQ(std::chrono::milliseconds(100), stream->request().timeout);
  EXPECT_FALSE(stream->request().buffer_frames.has_value());

  auto out = call(handle_meters, "GET", "/meters");
  std::string body = out.reply->body;
  body = body.substr(0, body.find(",\"updatedMsAgo\""));
  EXPECT_EQ(R"({"running":true,"sampleRate":48000,"inputChannels":2,"meters":[)"
            R"({"channel":0,"peak":-70.0,"rms":-70.0},{"channel":1,"peak":-70.0,"rms":-70.0}])",
            body);
  EXPECT_EQ("Mic", snapshot().active_device_id);
}

TEST_F(MeteringTest, DeviceByIdOrNameRecordsTheGivenText) {
  for (const char* id : {"1:Interface", "Interface"}) {
    expect_started(start(json{{"deviceId", id}, {"sampleRate", 48000}}.dump()));
    BridgeState s = snapshot();
    EXPECT_EQ(id, s.active_device_id);
    EXPECT_EQ(8, s.channels);
    EXPECT_EQ(44100u, s.sample_rate);
    EXPECT_EQ(SF::I16, interface_->last_stream()->format());
  }
}

TEST_F(MeteringTest, ChannelRequestsReachTheStream) {
  const std::pair<const char*, uint16_t> cases[] = {
      {R"({"channelCount":0})", 1},
      {R"({"channelCount":8,"stereoOnly":true})", 2},
      {R"({"channelCount":4,"stereoOnly":null,"other":[1,2]})", 4},
      {R"({})", 8},
  };
  for (auto [body, channels] : cases) {
    json b = json::parse(body);
    b["deviceId"] = "Interface";
    expect_started(start(b.dump()));
    EXPECT_EQ(channels, interface_->last_stream()->request().channels) << body;
  }
}

TEST_F(MeteringTest, DefaultDeviceWithoutReadableNameIsRecordedAsDefaultInput) {
  layer_.default_input = layer_.add(std::nullopt, {fixed_range(1, 48000)});
  expect_started(start("{}"));
  EXPECT_EQ("default-input", snapshot().active_device_id);
}

TEST_F(MeteringTest, BuffersOfEachTypeBecomeLevels) {
  mic_->inputs = {fixed_range(2, 48000, SF::U16)};
  expect_started(start());
  std::vector<uint16_t> u16 = {49152, 32768, 16384, 32768};
  ASSERT_TRUE(mic_->last_stream()->deliver(std::span<const uint16_t>(u16)));
  // A level reads as the float's shortest form, not its exact double value.
  EXPECT_NE(std::string::npos,
            call(handle_meters, "GET", "/meters")
                .reply->body.find(R"("meters":[{"channel":0,"peak":-6.0206003,"rms":-6.0206003},)"
                                  R"({"channel":1,"peak":-70.0,"rms":-70.0}])"));

  mic_->inputs = {fixed_range(1, 48000, SF::I16)};
  expect_started(start());
  std::vector<int16_t> i16 = {-32768, -32768};
  ASSERT_TRUE(mic_->last_stream()->deliver(std::span<const int16_t>(i16)));
  EXPECT_EQ(0.0, meters()["meters"][0]["rms"]);

  mic_->inputs = {fixed_range(2, 48000, SF::F32)};
  expect_started(start());
  std::vector<float> f32 = {std::numeric_limits<float>::quiet_NaN(), 0.25f};
  ASSERT_TRUE(mic_->last_stream()->deliver(std::span<const float>(f32)));
  auto out = call(handle_meters, "GET", "/meters");
  EXPECT_NE(std::string::npos,
            out.reply->body.find(R"("meters":[{"channel":0,"peak":-70.0,"rms":null},)"
                                 R"({"channel":1,"peak":-12.041201,"rms":-12.041201}])"))
      << out.reply->body;
}

TEST_F(MeteringTest, InvalidBodyFailsAndLeavesThePlayingStreamAlone) {
  expect_started(start());
  auto playing = mic_->last_stream();
  const BridgeState before = snapshot();
  for (const char* body :
       {"not json", "null", "[]", "{\"sampleRate\":1.5}", "{\"channelCount\":-1}",
        "{\"channelCount\":65536}", "{\"sampleRate\":4294967296}", "{\"stereoOnly\":\"yes\"}",
        "{\"deviceId\":3}", "{} {}"}) {
    Outcome o = start(body);
    EXPECT_EQ(500, o.reply->status) << body;
    ASSERT_FALSE(o.status.ok()) << body;
    EXPECT_EQ("invalid start payload", o.status.error().message()) << body;
    EXPECT_NE(nullptr, o.status.error().cause()) << body;
  }
  EXPECT_TRUE(playing->playing());
  EXPECT_FALSE(slot_.empty());
  EXPECT_EQ(before.active_device_id, snapshot().active_device_id);
  EXPECT_EQ(1u, mic_->streams().size());
}

TEST_F(MeteringTest, BodyThatIsNotUtf8Fails) {
  Outcome o = start("{\"deviceId\":\"\xff\"}");
  EXPECT_FALSE(o.status.ok());
  EXPECT_EQ(500, o.reply->status);
}

TEST_F(MeteringTest, LookupFailuresReleaseTheOldStreamAndShowItNotRunning) {
  struct Case {
    std::string body;
    std::function<void()> script;
    std::string message;
  };
  const Case cases[] = {
      {R"({"deviceId":"7:Nothing"})", [] {}, "input device not found: 7:Nothing"},
      {"{}", [this] { layer_.default_input = nullptr; }, "no default input device available"},
      {R"({"deviceId":"Mic"})", [this] { layer_.enumerate_error = "server gone"; }, "server gone"},
      {"{}", [this] { mic_->inputs = {fixed_range(2, 48000, SF::F64)}; },
       "selected device has no supported PCM input formats"},
  };
  for (const Case& c : cases) {
    layer_.enumerate_error.reset();
    layer_.default_input = mic_;
    mic_->inputs = {fixed_range(2, 48000)};
    expect_started(start());
    auto old = mic_->last_stream();
    c.script();
    Outcome o = start(c.body);
    ASSERT_FALSE(o.status.ok()) << c.body;
    EXPECT_EQ(c.message, o.status.error().message());
    EXPECT_TRUE(old->released()) << c.body;
    EXPECT_TRUE(slot_.empty());
    // The released stream is not running; the rest still describes it.
    EXPECT_FALSE(snapshot().running) << c.body;
    EXPECT_EQ("Mic", snapshot().active_device_id);
    EXPECT_EQ(2, snapshot().channels);
    json m = meters();
    EXPECT_EQ(false, m["running"]) << c.body;
    EXPECT_EQ(2, m["inputChannels"]) << c.body;
  }
}

TEST_F(MeteringTest, StartAsksTheDeviceLayerOnce) {
  for (const char* body : {"", R"({"deviceId":"Interface"})", R"({"deviceId":"9:Nothing"})"}) {
    layer_.enumerations = 0;
    (void)start(body);
    EXPECT_EQ(1, layer_.enumerations) << body;
  }
}

TEST_F(MeteringTest, OpenOrPlayFailureShowsTheNewDeviceNotRunning) {
  interface_->build_error = "device busy";
  Outcome o = start(R"({"deviceId":"Interface"})");
  EXPECT_EQ("device busy", o.status.error().message());
  interface_->build_error.reset();
  interface_->play_error = "cannot start";
  o = start(R"({"deviceId":"Interface"})");
  EXPECT_EQ("cannot start", o.status.error().message());
  EXPECT_TRUE(interface_->last_stream()->released());
  EXPECT_TRUE(slot_.empty());
  json m = meters();
  EXPECT_EQ(false, m["running"]);
  EXPECT_EQ(8, m["inputChannels"]);
  EXPECT_EQ(8u, m["meters"].size());
  EXPECT_EQ(-70.0, m["meters"][7]["peak"]);
  EXPECT_EQ("Interface", snapshot().active_device_id);
}

TEST_F(MeteringTest, StopReleasesAndClearsButKeepsRateAndId) {
  expect_started(start(R"({"deviceId":"Interface"})"));
  auto stream = interface_->last_stream();
  for (int i = 0; i < 2; ++i) {
    Outcome o = stop();
    ASSERT_TRUE(o.status.ok());
    EXPECT_EQ(R"({"ok":true})", o.reply->body);
  }
  EXPECT_TRUE(stream->released());
  json m = meters();
  EXPECT_EQ(false, m["running"]);
  EXPECT_EQ(0, m["inputChannels"]);
  EXPECT_EQ(json::array(), m["meters"]);
  EXPECT_EQ(44100, m["sampleRate"]);
  EXPECT_EQ("Interface", snapshot().active_device_id);
  // The callbacks' references to the state went with the stream.
  EXPECT_EQ(1, context_.state.use_count());
}

TEST_F(MeteringTest, SecondStartReleasesTheFirstStream) {
  expect_started(start());
  auto first = mic_->last_stream();
  expect_started(start(R"({"deviceId":"Interface"})"));
  EXPECT_TRUE(first->released());
  EXPECT_TRUE(interface_->last_stream()->playing());
}

TEST_F(MeteringTest, StreamErrorIsReportedOnceAndFreezesTheMeters) {
  expect_started(start());
  auto stream = mic_->last_stream();
  std::vector<float> buffer = {0.5f, 0.5f};
  ASSERT_TRUE(stream->deliver(std::span<const float>(buffer)));
  const auto frozen_at = snapshot().updated_at;

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 1000; ++i) {
    stream->fail("device unplugged");
  }
  std::vector<float> late = {0.1f, 0.1f};
  stream->deliver(std::span<const float>(late));
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ("audio stream error: device unplugged\n", err);
  BridgeState s = snapshot();
  EXPECT_FALSE(s.running);
  EXPECT_EQ(frozen_at, s.updated_at);
  EXPECT_NEAR(-6.0206, s.meters[0].peak, 1e-4);
  EXPECT_FALSE(slot_.empty());  // silent, but still in the slot
}

TEST_F(MeteringTest, PoisonedLockFailsTheStateRoutes) {
  expect_started(start());
  context_.state->poison();
  for (Outcome o : {stop(), call(handle_meters, "GET", "/meters"), start()}) {
    EXPECT_EQ(500, o.reply->status);
    ASSERT_FALSE(o.status.ok());
    EXPECT_EQ("state lock poisoned", o.status.error().message());
  }
  EXPECT_TRUE(slot_.empty());
}

TEST(ParseStartRequest, MembersAndNulls) {
  auto r = parse_start_request(
      R"({"deviceId":"0:Mic","channelCount":65535,"sampleRate":4294967295,"stereoOnly":true})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ("0:Mic", r->device_id);
  EXPECT_EQ(65535, r->channel_count);
  EXPECT_EQ(4294967295u, r->sample_rate);
  EXPECT_TRUE(r->stereo_only);
  r = parse_start_request(R"({"deviceId":null,"channelCount":null,"sampleRate":null})");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->device_id || r->channel_count || r->sample_rate || r->stereo_only);
}

TEST(ParseStartRequest, ABodyOfWhiteSpaceAloneMeansTheDefaults) {
  for (const char* body : {"", " \t\r\n", "\v\f", "\xC2\xA0 \xE3\x80\x80"}) {
    auto r = parse_start_request(body);
    ASSERT_TRUE(r.ok()) << body;
    EXPECT_FALSE(r->device_id || r->channel_count || r->sample_rate || r->stereo_only) << body;
  }
}

TEST(ParseStartRequest, IntegerMembersNameTheirWidth) {
  struct Case {
    const char* body;
    const char* cause;
  };
  const Case cases[] = {
      {R"({"channelCount":65536})", "\"channelCount\" must be an unsigned 16-bit integer"},
      {R"({"sampleRate":-1})", "\"sampleRate\" must be an unsigned 32-bit integer"},
      {R"({"sampleRate":"48000"})", "\"sampleRate\" must be an unsigned 32-bit integer"},
  };
  for (const Case& c : cases) {
    auto r = parse_start_request(c.body);
    ASSERT_FALSE(r.ok()) << c.body;
    EXPECT_EQ("invalid start payload", r.error().message());
    ASSERT_NE(nullptr, r.error().cause());
    EXPECT_EQ(c.cause, r.error().cause()->message()) << c.body;
  }
}

}  // namespace
}  // namespace wf::bridge
