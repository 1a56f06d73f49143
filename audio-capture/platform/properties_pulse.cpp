#include "audio-capture/platform/properties_pulse.h"

#include <cstring>
#include <vector>

#include "audio-capture/platform/input_unit.h"

namespace wf::capture {

namespace {

std::vector<ObjectId> deviceIds(const std::vector<SourceInfo>& sources) {
  std::vector<ObjectId> ids;
  for (const SourceInfo& source : sources) {
    if (auto id = PulseConnection::objectOf(source.index)) {
      ids.push_back(*id);
    }
  }
  return ids;
}

// The stream configuration of a source: input scope, one interleaved stream.
std::vector<uint8_t> streamConfiguration(const SourceInfo& source, uint32_t scope) {
  BufferList list;
  list.count = 0;
  if (scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeGlobal) {
    list.count = 1;
    list.buffers[0].channels = source.spec.channels;
  }
  std::vector<uint8_t> bytes(8 + 16 * size_t{list.count});
  std::memcpy(bytes.data(), &list, bytes.size());
  return bytes;
}

// The value of a device property as bytes; nullopt for properties a source
// does not have (strings go through `string`).
std::optional<std::vector<uint8_t>> deviceValue(const SourceInfo& source,
                                                const PropertyAddress& address) {
  auto bytesOf = [](const auto& value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  };
  double rate = source.spec.rate;
  switch (address.selector) {
    case kAudioDevicePropertyStreamConfiguration:
      return streamConfiguration(source, address.scope);
    case kAudioDevicePropertyNominalSampleRate:
      return bytesOf(rate);
    case kAudioDevicePropertyAvailableNominalSampleRates:
      return bytesOf(AudioValueRange{rate, rate});
    case kAudioDevicePropertyDeviceIsAlive:
      return bytesOf(uint32_t{1});
    default:
      return std::nullopt;
  }
}

bool isString(uint32_t selector) {
  return selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName;
}

}  // namespace

bool PulseProperties::dataSize(ObjectId object, const PropertyAddress& address, uint32_t& size) {
  if (object == kAudioObjectSystemObject) {
    if (address.selector != kAudioHardwarePropertyDevices) {
      return false;
    }
    auto sources = connection_->sources();
    if (!sources) {
      return false;
    }
    size = static_cast<uint32_t>(deviceIds(*sources).size() * sizeof(ObjectId));
    return true;
  }
  if (isString(address.selector)) {
    size = sizeof(void*);
    return true;
  }
  auto index = PulseConnection::indexOf(object);
  SourceInfo source;
  if (!index || connection_->source(*index, source) != PulseConnection::Lookup::found) {
    return false;
  }
  auto value = deviceValue(source, address);
  if (!value) {
    return false;
  }
  size = static_cast<uint32_t>(value->size());
  return true;
}

bool PulseProperties::data(ObjectId object, const PropertyAddress& address, uint32_t& size,
                           void* buffer) {
  if (object == kAudioObjectSystemObject) {
    if (address.selector != kAudioHardwarePropertyDevices) {
      return false;
    }
    auto sources = connection_->sources();
    if (!sources) {
      return false;
    }
    std::vector<ObjectId> ids = deviceIds(*sources);
    size_t count = std::min<size_t>(ids.size(), size / sizeof(ObjectId));
    std::memcpy(buffer, ids.data(), count * sizeof(ObjectId));
    size = static_cast<uint32_t>(count * sizeof(ObjectId));
    return true;
  }
  auto index = PulseConnection::indexOf(object);
  if (!index) {
    return false;
  }
  SourceInfo source;
  PulseConnection::Lookup found = connection_->source(*index, source);
  if (found == PulseConnection::Lookup::missing &&
      address.selector == kAudioDevicePropertyDeviceIsAlive && size >= sizeof(uint32_t)) {
    // A source that is gone is a device that is no longer alive.
    uint32_t alive = 0;
    std::memcpy(buffer, &alive, sizeof alive);
    size = sizeof alive;
    return true;
  }
  if (found != PulseConnection::Lookup::found) {
    return false;
  }
  auto value = deviceValue(source, address);
  if (!value || value->size() > size) {
    return false;
  }
  std::memcpy(buffer, value->data(), value->size());
  size = static_cast<uint32_t>(value->size());
  return true;
}

bool PulseProperties::string(ObjectId object, const PropertyAddress& address,
                             std::unique_ptr<std::string>& value) {
  auto index = PulseConnection::indexOf(object);
  SourceInfo source;
  if (!isString(address.selector) || !index ||
      connection_->source(*index, source) != PulseConnection::Lookup::found) {
    return false;
  }
  value = std::make_unique<std::string>(
      address.selector == kAudioDevicePropertyDeviceUID ? source.name : source.description);
  return true;
}

}  // namespace wf::capture
