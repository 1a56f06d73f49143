#include "audio-capture/listing/devices.h"

#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace wf::capture {

namespace {

bool sizeOf(PropertyService& properties, ObjectId object, uint32_t selector, uint32_t& size,
            uint32_t scope = kAudioObjectPropertyScopeGlobal) {
  size = 0;
  return properties.dataSize(object, address(selector, scope), size);
}

nlohmann::json availableRates(PropertyService& properties, ObjectId object) {
  nlohmann::json rates = nlohmann::json::array();
  uint32_t size = 0;
  if (!sizeOf(properties, object, kAudioDevicePropertyAvailableNominalSampleRates, size)) {
    return rates;
  }
  std::vector<AudioValueRange> ranges(size / sizeof(AudioValueRange));
  uint32_t bytes = static_cast<uint32_t>(ranges.size() * sizeof(AudioValueRange));
  if (!properties.data(
          object,
          address(kAudioDevicePropertyAvailableNominalSampleRates, kAudioObjectPropertyScopeGlobal),
          bytes, ranges.data())) {
    return rates;
  }
  ranges.resize(bytes / sizeof(AudioValueRange));
  for (const AudioValueRange& range : ranges) {
    rates.push_back({{"min", range.minimum}, {"max", range.maximum}});
  }
  return rates;
}

}  // namespace

bool property(PropertyService& properties, ObjectId object, uint32_t selector, void* buffer,
              uint32_t size, uint32_t scope) {
  uint32_t bytes = size;
  return properties.data(object, address(selector, scope), bytes, buffer);
}

uint32_t channels(PropertyService& properties, ObjectId object) {
  uint32_t size = 0;
  if (!sizeOf(properties, object, kAudioDevicePropertyStreamConfiguration, size,
              kAudioObjectPropertyScopeInput)) {
    return 0;
  }
  std::vector<uint8_t> list;
  try {
    list.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  uint32_t bytes = size;
  if (!properties.data(
          object, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput),
          bytes, list.data())) {
    return 0;
  }
  // Only entries that lie within the bytes actually returned are counted,
  // whatever the list's own count claims; the sum saturates so that a huge
  // count can never wrap into the accepted range.
  constexpr size_t FIRST_ENTRY = 8;
  constexpr size_t ENTRY_SIZE = 16;
  size_t valid = std::min<size_t>(bytes, list.size());
  uint32_t count = 0;
  if (valid >= sizeof count) {
    std::memcpy(&count, list.data(), sizeof count);
  }
  uint64_t sum = 0;
  for (size_t i = 0; i < count && FIRST_ENTRY + (i + 1) * ENTRY_SIZE <= valid; ++i) {
    uint32_t entryChannels = 0;
    std::memcpy(&entryChannels, list.data() + FIRST_ENTRY + i * ENTRY_SIZE, sizeof entryChannels);
    sum += entryChannels;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
}

std::string text(PropertyService& properties, ObjectId object, uint32_t selector) {
  std::unique_ptr<std::string> value;
  if (!properties.string(object, address(selector, kAudioObjectPropertyScopeGlobal), value) ||
      !value) {
    return "";
  }
  return *value;
}

nlohmann::json devices(PropertyService& properties) {
  nlohmann::json records = nlohmann::json::array();
  uint32_t size = 0;
  if (!sizeOf(properties, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, size)) {
    return records;
  }
  std::vector<ObjectId> ids(size / sizeof(ObjectId));
  uint32_t bytes = static_cast<uint32_t>(ids.size() * sizeof(ObjectId));
  if (!properties.data(kAudioObjectSystemObject,
                       address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal),
                       bytes, ids.data())) {
    return records;
  }
  // The list may have shrunk between the two reads.
  ids.resize(std::min<size_t>(ids.size(), bytes / sizeof(ObjectId)));
  for (ObjectId id : ids) {
    uint32_t inputs = channels(properties, id);
    if (inputs == 0 || inputs > MAX_CHANNELS) {
      continue;
    }
    double rate = 0.0;
    if (!property(properties, id, kAudioDevicePropertyNominalSampleRate, &rate, sizeof rate)) {
      continue;
    }
    std::string uid = text(properties, id, kAudioDevicePropertyDeviceUID);
    if (uid.empty()) {
      continue;
    }
    nlohmann::json rates = availableRates(properties, id);
    std::string name = text(properties, id, kAudioObjectPropertyName);
    records.push_back({{"availableSampleRates", std::move(rates)},
                       {"uid", uid},
                       {"name", name},
                       {"channels", inputs},
                       {"sampleRate", rate},
                       {"object", id}});
  }
  return records;
}

nlohmann::json listing(const nlohmann::json& records) {
  nlohmann::json inputs = nlohmann::json::array();
  for (const nlohmann::json& record : records) {
    nlohmann::json copy = record;
    copy.erase("object");
    inputs.push_back(std::move(copy));
  }
  return {{"inputs", std::move(inputs)}};
}

}  // namespace wf::capture
