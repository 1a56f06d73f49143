#include "audio-capture/listing/devices.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "audio-capture/platform/fake_platform.h"

namespace wf::capture {
namespace {

FakeDevice deviceWith(std::function<void(FakeDevice&)> change) {
  FakeDevice d;
  d.id = 10;
  change(d);
  return d;
}

struct SkipCase {
  const char* what;
  std::function<void(FakeDevice&)> change;
  bool listed;
};

void PrintTo(const SkipCase& c, std::ostream* os) {
  *os << c.what;
}

class DeviceSkipRules : public ::testing::TestWithParam<SkipCase> {};

TEST_P(DeviceSkipRules, ListsOrSkipsTheDevice) {
  FakeProperties properties;
  properties.devices.push_back(deviceWith(GetParam().change));
  nlohmann::json records = devices(properties);
  EXPECT_EQ(GetParam().listed ? 1u : 0u, records.size()) << records.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceSkipRules,
    ::testing::Values(
        SkipCase{"plain", [](FakeDevice&) {}, true},
        SkipCase{"no input streams", [](FakeDevice& d) { d.inputStreams = {}; }, false},
        SkipCase{"zero channels",
                 [](FakeDevice& d) {
                   d.inputStreams = {0, 0};
                 },
                 false},
        SkipCase{"exactly 64",
                 [](FakeDevice& d) {
                   d.inputStreams = {32, 32};
                 },
                 true},
        SkipCase{"65",
                 [](FakeDevice& d) {
                   d.inputStreams = {64, 1};
                 },
                 false},
        SkipCase{"configuration size unreadable",
                 [](FakeDevice& d) { d.failSize = {kAudioDevicePropertyStreamConfiguration}; },
                 false},
        SkipCase{"configuration unreadable",
                 [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyStreamConfiguration}; },
                 false},
        SkipCase{"rate unreadable",
                 [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyNominalSampleRate}; },
                 false},
        SkipCase{"empty uid", [](FakeDevice& d) { d.uid = ""; }, false},
        SkipCase{"uid unreadable",
                 [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyDeviceUID}; }, false},
        SkipCase{"uid null", [](FakeDevice& d) { d.nullString = {kAudioDevicePropertyDeviceUID}; },
                 false},
        SkipCase{"name unreadable", [](FakeDevice& d) { d.failRead = {kAudioObjectPropertyName}; },
                 true},
        SkipCase{
            "rates unreadable",
            [](FakeDevice& d) { d.failRead = {kAudioDevicePropertyAvailableNominalSampleRates}; },
            true}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

TEST(DeviceRecord, CarriesEveryFieldInTheSystemsOrder) {
  FakeProperties properties;
  properties.devices.push_back(deviceWith([](FakeDevice& d) {
    d.id = 42;
    d.inputStreams = {2, 6};
    d.rate = 96000;
    d.uid = "usb-mic";
    d.name = "Desk Mic";
    d.rates = {{96000, 96000}, {44100, 48000}};
  }));
  properties.devices.push_back(deviceWith([](FakeDevice& d) {
    d.id = 7;
    d.uid = "second";
  }));
  nlohmann::json records = devices(properties);
  ASSERT_EQ(2u, records.size());
  nlohmann::json expected = {
      {"availableSampleRates",
       {{{"min", 96000.0}, {"max", 96000.0}}, {{"min", 44100.0}, {"max", 48000.0}}}},
      {"uid", "usb-mic"},
      {"name", "Desk Mic"},
      {"channels", 8},
      {"sampleRate", 96000.0},
      {"object", 42}};
  EXPECT_EQ(expected, records[0]);
  EXPECT_EQ("second", records[1]["uid"]);
}

TEST(DeviceRecord, FallsBackForNameAndRates) {
  FakeProperties properties;
  properties.devices.push_back(deviceWith([](FakeDevice& d) {
    d.nullString = {kAudioObjectPropertyName};
    d.failSize = {kAudioDevicePropertyAvailableNominalSampleRates};
  }));
  properties.devices.push_back(deviceWith([](FakeDevice& d) {
    d.id = 11;
    d.uid = "other";
    d.failRead = {kAudioObjectPropertyName, kAudioDevicePropertyAvailableNominalSampleRates};
  }));
  nlohmann::json records = devices(properties);
  ASSERT_EQ(2u, records.size());
  for (const auto& record : records) {
    EXPECT_EQ("", record["name"]);
    EXPECT_EQ(nlohmann::json::array(), record["availableSampleRates"]);
  }
}

TEST(DeviceList, UnreadableListGivesNoDevices) {
  for (bool sizeFails : {true, false}) {
    FakeProperties properties;
    properties.devices.push_back(deviceWith([](FakeDevice&) {}));
    properties.failListSize = sizeFails;
    properties.failList = !sizeFails;
    EXPECT_EQ(nlohmann::json::array(), devices(properties));
  }
}

TEST(DeviceList, ListingDropsTheObjectKey) {
  FakeProperties properties;
  properties.devices.push_back(deviceWith([](FakeDevice&) {}));
  nlohmann::json records = devices(properties);
  ASSERT_TRUE(records[0].contains("object"));
  nlohmann::json list = listing(records);
  ASSERT_EQ(1u, list.size());
  ASSERT_EQ(1u, list["inputs"].size());
  EXPECT_FALSE(list["inputs"][0].contains("object"));
  EXPECT_EQ(5u, list["inputs"][0].size());
  EXPECT_TRUE(records[0].contains("object")) << "the records themselves keep it for a capture";
}

// A property service that answers the stream configuration with raw bytes.
class RawConfiguration : public FakeProperties {
 public:
  std::vector<uint8_t> raw;
  bool dataSize(ObjectId, const PropertyAddress&, uint32_t& size) override {
    size = static_cast<uint32_t>(raw.size());
    return true;
  }
  bool data(ObjectId, const PropertyAddress&, uint32_t& size, void* buffer) override {
    size = std::min<uint32_t>(size, static_cast<uint32_t>(raw.size()));
    if (size > 0) {
      std::memcpy(buffer, raw.data(), size);
    }
    return true;
  }
};

std::vector<uint8_t> list(uint32_t count, std::vector<uint32_t> entries) {
  std::vector<uint8_t> bytes(8 + 16 * entries.size(), 0);
  std::memcpy(bytes.data(), &count, 4);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(bytes.data() + 8 + 16 * i, &entries[i], 4);
  }
  return bytes;
}

TEST(InputChannels, CountsOnlyEntriesThatWereReturned) {
  RawConfiguration properties;
  properties.raw = list(5, {2, 3});
  EXPECT_EQ(5u, channels(properties, 3));
  properties.raw = list(1, {2, 3});
  EXPECT_EQ(2u, channels(properties, 3));
  properties.raw = {};
  EXPECT_EQ(0u, channels(properties, 3));
}

TEST(InputChannels, HugeCountsNeverWrapIntoRange) {
  RawConfiguration properties;
  properties.raw = list(2, {std::numeric_limits<uint32_t>::max(), 3});
  EXPECT_EQ(std::numeric_limits<uint32_t>::max(), channels(properties, 3));
}

}  // namespace
}  // namespace wf::capture
