#include "bridge/devices/devices.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bridge/devices/device_layer_fake.h"
#include "bridge/http/request.h"

namespace wf::bridge {
namespace {

using SF = SampleFormat;

ConfigRange range(uint16_t channels, uint32_t min_rate, uint32_t max_rate, SF format = SF::F32) {
  return ConfigRange{channels, min_rate, max_rate, format, std::nullopt};
}

class DevicesRouteTest : public ::testing::Test {
 protected:
  // Runs GET /devices; the reply, or an unanswered request with `status` set.
  std::shared_ptr<const MemoryRequest::Reply> get(Status* status = nullptr) {
    auto request = std::make_unique<MemoryRequest>("GET", "/devices");
    auto reply = request->reply();
    Status s = handle_devices(std::move(request), context_);
    if (status)
      *status = s;
    return reply;
  }
  nlohmann::json body() {
    auto reply = get();
    EXPECT_EQ(200, reply->status);
    return nlohmann::json::parse(reply->body);
  }

  FakeDeviceLayer layer_;
  RouteContext context_{std::make_shared<SharedState>(), nullptr, nullptr, &layer_};
};

TEST_F(DevicesRouteTest, NoDevicesGivesTwoEmptyLists) {
  EXPECT_EQ(R"({"inputs":[],"outputs":[]})", get()->body);
}

TEST_F(DevicesRouteTest, RecordsCarryIdsLabelsChannelsAndRatesInMemberOrder) {
  layer_.add("Mic", {fixed_range(1, 48000), fixed_range(2, 44100)});
  layer_.add("Duplex", {fixed_range(2, 48000)}, {fixed_range(6, 96000)});
  layer_.add("Speakers", {}, {fixed_range(2, 48000)});
  EXPECT_EQ(
      R"({"inputs":[)"
      R"({"deviceId":"0:Mic","label":"Mic","inputChannels":2,"outputChannels":0,"connected":true,"sampleRates":[44100,48000]},)"
      R"({"deviceId":"1:Duplex","label":"Duplex","inputChannels":2,"outputChannels":0,"connected":true,"sampleRates":[48000]}],)"
      R"("outputs":[)"
      R"({"deviceId":"0:Duplex","label":"Duplex","inputChannels":0,"outputChannels":6,"connected":true,"sampleRates":[96000]},)"
      R"({"deviceId":"1:Speakers","label":"Speakers","inputChannels":0,"outputChannels":2,"connected":true,"sampleRates":[48000]}]})",
      get()->body);
}

TEST_F(DevicesRouteTest, SampleRatesAreEveryRangeEndSortedAndUnique) {
  layer_.add("Discrete", {fixed_range(2, 96000), fixed_range(2, 44100), fixed_range(2, 48000),
                          fixed_range(1, 44100, SF::I16)});
  layer_.add("Continuous", {range(2, 8000, 192000)});
  auto b = body();
  EXPECT_EQ(nlohmann::json({44100, 48000, 96000}), b["inputs"][0]["sampleRates"]);
  EXPECT_EQ(nlohmann::json({8000, 192000}), b["inputs"][1]["sampleRates"]);
}

TEST_F(DevicesRouteTest, UnreadableNameFallsBackToPositionalLabel) {
  layer_.add(std::nullopt, {fixed_range(1, 48000)});
  layer_.add("Twin", {fixed_range(1, 48000)});
  layer_.add("Twin", {fixed_range(1, 48000)});
  auto b = body();
  EXPECT_EQ("0:Audio device 1", b["inputs"][0]["deviceId"]);
  EXPECT_EQ("Audio device 1", b["inputs"][0]["label"]);
  EXPECT_EQ("1:Twin", b["inputs"][1]["deviceId"]);
  EXPECT_EQ("2:Twin", b["inputs"][2]["deviceId"]);
}

TEST_F(DevicesRouteTest, DeviceWhoseQueryFailsDuringFilteringIsLeftOut) {
  auto broken = layer_.add("Broken");
  broken->input_error = "gone";
  layer_.add("Mic", {fixed_range(1, 48000)});
  auto b = body();
  ASSERT_EQ(1u, b["inputs"].size());
  EXPECT_EQ("0:Mic", b["inputs"][0]["deviceId"]);
}

TEST_F(DevicesRouteTest, FailingQueryWhileDescribingFailsTheWholeRequest) {
  layer_.add("Mic", {fixed_range(1, 48000)});
  auto unplugged = layer_.add("Unplugged", {fixed_range(2, 48000)});
  unplugged->input_error = "device unplugged";
  unplugged->input_error_after = 1;  // passes the filter, fails when described
  Status status;
  auto reply = get(&status);
  EXPECT_EQ(500, reply->status);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("device unplugged", status.error().message());
}

TEST_F(DevicesRouteTest, BothListsComeFromOneEnumeration) {
  // Each enumeration asks the platform afresh (and may take long): one
  // serves the inputs and the outputs, which then describe the same moment.
  layer_.add("Duplex", {fixed_range(2, 48000)}, {fixed_range(2, 48000)});
  auto b = body();
  EXPECT_EQ(1u, b["inputs"].size());
  EXPECT_EQ(1u, b["outputs"].size());
  EXPECT_EQ(1, layer_.enumerations);
}

TEST_F(DevicesRouteTest, EnumerationErrorFailsWithTheLayersMessage) {
  layer_.enumerate_error = "sound server unreachable";
  Status status;
  EXPECT_EQ(500, get(&status)->status);
  EXPECT_EQ("sound server unreachable", status.error().message());
}

// select_input_config: the chosen (channels, rate, format) for ranges and
// request members.
struct SelectCase {
  const char* name;
  std::vector<ConfigRange> ranges;
  std::optional<uint32_t> rate;
  std::optional<uint16_t> channels;
  bool stereo_only;
  uint16_t want_channels;
  uint32_t want_rate;
  SF want_format;
};

TEST(SelectInputConfig, ChoosesByPenaltyDistanceAndFormat) {
  const SelectCase cases[] = {
      {"nothing requested: 8 channels beat 2 (168 < 174)",
       {fixed_range(2, 48000), fixed_range(8, 48000)},
       {},
       {},
       false,
       8,
       48000,
       SF::F32},
      {"2 wanted: 4 channels beat 1 (2 < 129)",
       {fixed_range(1, 48000), fixed_range(4, 48000, SF::I16)},
       {},
       2,
       false,
       2,
       48000,
       SF::I16},
      {"stereoOnly on a mono device", {fixed_range(1, 44100)}, {}, {}, true, 1, 44100, SF::F32},
      {"stereoOnly overrides channelCount",
       {fixed_range(8, 48000)},
       {},
       8,
       true,
       2,
       48000,
       SF::F32},
      {"channelCount 0 counts as 1",
       {fixed_range(2, 48000), fixed_range(1, 48000, SF::I16)},
       {},
       0,
       false,
       1,
       48000,
       SF::I16},
      {"nearer rate wins: 3900 below beats 48000 above",
       {fixed_range(48, 96000, SF::I16), fixed_range(48, 44100, SF::I16)},
       {},
       {},
       false,
       48,
       44100,
       SF::I16},
      {"a range containing 48000 gives exactly 48000",
       {range(2, 8000, 192000)},
       {},
       2,
       false,
       2,
       48000,
       SF::F32},
      {"rate above the range is cut to its maximum",
       {range(2, 8000, 48000)},
       96000,
       2,
       false,
       2,
       48000,
       SF::F32},
      {"rate below the range is raised to its minimum",
       {range(2, 44100, 96000)},
       8000,
       2,
       false,
       2,
       44100,
       SF::F32},
      {"F32 before I16",
       {fixed_range(2, 48000, SF::I16), fixed_range(2, 48000, SF::F32)},
       {},
       2,
       false,
       2,
       48000,
       SF::F32},
      {"I16 before U16",
       {fixed_range(2, 48000, SF::U16), fixed_range(2, 48000, SF::I16)},
       {},
       2,
       false,
       2,
       48000,
       SF::I16},
      {"a first I32 range is passed over for the I16 behind it",
       {fixed_range(2, 48000, SF::I32), fixed_range(2, 44100, SF::I16)},
       {},
       2,
       false,
       2,
       44100,
       SF::I16},
      // 65409 + 128 does not fit in 16 bits; the 1-channel range must not
      // overtake the one with enough channels (penalty 125).
      {"too few channels for 65410 wanted still sorts last",
       {fixed_range(1, 48000, SF::I16), fixed_range(65535, 48000, SF::U16)},
       {},
       65410,
       false,
       65410,
       48000,
       SF::U16},
  };
  for (const SelectCase& c : cases) {
    FakeDevice device("d");
    device.inputs = c.ranges;
    auto chosen = select_input_config(device, c.rate, c.channels, c.stereo_only);
    ASSERT_TRUE(chosen.ok()) << c.name;
    EXPECT_EQ(c.want_channels, chosen->channels) << c.name;
    EXPECT_EQ(c.want_rate, chosen->sample_rate) << c.name;
    EXPECT_EQ(c.want_format, chosen->sample_format) << c.name;
    EXPECT_FALSE(chosen->buffer_frames.has_value()) << c.name;
  }
}

TEST(SelectInputConfig, EqualKeysKeepTheLayersOrder) {
  // With 3 wanted, 1 channel (3 - 1 + 128) and 133 channels (133 - 3) both
  // have penalty 130: whichever the layer lists first is chosen.
  FakeDevice device("d");
  device.inputs = {fixed_range(1, 48000), fixed_range(133, 48000)};
  auto chosen = select_input_config(device, {}, 3, false);
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(1u, chosen->channels);
  device.inputs = {fixed_range(133, 48000), fixed_range(1, 48000)};
  chosen = select_input_config(device, {}, 3, false);
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(3u, chosen->channels);
}

TEST(SelectInputConfig, Failures) {
  FakeDevice device("d");
  EXPECT_EQ("selected device has no supported input configs",
            select_input_config(device, {}, {}, false).error().message());
  device.inputs = {fixed_range(2, 48000, SF::I32), fixed_range(2, 44100, SF::F64)};
  EXPECT_EQ("selected device has no supported PCM input formats",
            select_input_config(device, {}, {}, false).error().message());
  device.input_error = "query failed";
  EXPECT_EQ("query failed", select_input_config(device, {}, {}, false).error().message());
}

}  // namespace
}  // namespace wf::bridge
