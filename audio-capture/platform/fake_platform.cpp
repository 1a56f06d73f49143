#include "audio-capture/platform/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wf::capture {

namespace {

template <typename T>
std::vector<uint8_t> bytesOf(const T& value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::vector<uint8_t> bufferList(const std::vector<uint32_t>& streams) {
  std::vector<uint8_t> bytes(8 + 16 * streams.size(), 0);
  uint32_t count = static_cast<uint32_t>(streams.size());
  std::memcpy(bytes.data(), &count, sizeof count);
  for (size_t i = 0; i < streams.size(); ++i) {
    std::memcpy(bytes.data() + 8 + 16 * i, &streams[i], sizeof streams[i]);
  }
  return bytes;
}

bool isString(uint32_t selector) {
  return selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName;
}

}  // namespace

FakeDevice& FakeProperties::device(ObjectId id) {
  if (FakeDevice* found = find(id)) {
    return *found;
  }
  throw std::out_of_range("no fake device");
}

FakeDevice* FakeProperties::find(ObjectId id) {
  for (FakeDevice& d : devices) {
    if (d.id == id) {
      return &d;
    }
  }
  return nullptr;
}

std::optional<std::vector<uint8_t>> FakeProperties::value(ObjectId object,
                                                          const PropertyAddress& address) {
  if (object == kAudioObjectSystemObject) {
    if (address.selector != kAudioHardwarePropertyDevices) {
      return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (const FakeDevice& d : devices) {
      auto id = bytesOf(d.id);
      bytes.insert(bytes.end(), id.begin(), id.end());
    }
    return bytes;
  }
  FakeDevice* d = find(object);
  if (!d) {
    return std::nullopt;
  }
  switch (address.selector) {
    case kAudioDevicePropertyStreamConfiguration:
      return bufferList(address.scope == kAudioObjectPropertyScopeInput ? d->inputStreams
                                                                        : std::vector<uint32_t>{});
    case kAudioDevicePropertyNominalSampleRate:
      return bytesOf(d->rate);
    case kAudioDevicePropertyAvailableNominalSampleRates: {
      std::vector<uint8_t> bytes(d->rates.size() * sizeof(AudioValueRange));
      if (!bytes.empty()) {
        std::memcpy(bytes.data(), d->rates.data(), bytes.size());
      }
      return bytes;
    }
    case kAudioDevicePropertyDeviceIsAlive:
      return bytesOf(d->alive);
    default:
      return std::nullopt;
  }
}

bool FakeProperties::dataSize(ObjectId object, const PropertyAddress& address, uint32_t& size) {
  if (object == kAudioObjectSystemObject) {
    if (failListSize) {
      return false;
    }
  } else if (FakeDevice* d = find(object); !d || d->failSize.count(address.selector)) {
    return false;
  }
  if (isString(address.selector)) {
    size = sizeof(void*);
    return true;
  }
  auto bytes = value(object, address);
  if (!bytes) {
    return false;
  }
  size = static_cast<uint32_t>(bytes->size());
  return true;
}

bool FakeProperties::data(ObjectId object, const PropertyAddress& address, uint32_t& size,
                          void* buffer) {
  reads.push_back(std::to_string(object) + " " + std::to_string(address.selector));
  if (object == kAudioObjectSystemObject) {
    if (failList) {
      return false;
    }
  } else if (FakeDevice* d = find(object); !d || d->failRead.count(address.selector)) {
    return false;
  }
  auto bytes = value(object, address);
  if (!bytes) {
    return false;
  }
  // Like the real service: what does not fit is cut at whole bytes; a list
  // gives as many entries as fit.
  size_t n = std::min<size_t>(size, bytes->size());
  if (n > 0) {
    std::memcpy(buffer, bytes->data(), n);
  }
  size = static_cast<uint32_t>(n);
  return true;
}

bool FakeProperties::string(ObjectId object, const PropertyAddress& address,
                            std::unique_ptr<std::string>& value) {
  reads.push_back(std::to_string(object) + " " + std::to_string(address.selector));
  FakeDevice* d = find(object);
  if (!d || !isString(address.selector) || d->failRead.count(address.selector)) {
    return false;
  }
  if (d->nullString.count(address.selector)) {
    value.reset();
    return true;
  }
  value = std::make_unique<std::string>(
      address.selector == kAudioDevicePropertyDeviceUID ? d->uid : d->name);
  return true;
}

FakeInputUnit::~FakeInputUnit() {
  if (owner_->unit == this) {
    owner_->unit = nullptr;
  }
}

Status FakeInputUnit::call(const std::string& name) {
  owner_->calls.push_back(name);
  return owner_->status ? owner_->status(name) : 0;
}

Status FakeInputUnit::setProperty(uint32_t property, uint32_t scope, uint32_t element,
                                  const void* value, uint32_t size) {
  std::string name = "set " + std::to_string(property) + " " + std::to_string(scope) + " " +
                     std::to_string(element);
  if (Status s = call(name)) {
    return s;
  }
  auto take = [&](auto& field) {
    if (size != sizeof field) {
      return kAudio_ParamError;
    }
    std::memcpy(&field, value, sizeof field);
    return Status{0};
  };
  switch (property) {
    case kAudioOutputUnitProperty_CurrentDevice:
      return take(device);
    case kAudioUnitProperty_StreamFormat:
      return take(format);
    case kAudioUnitProperty_MaximumFramesPerSlice:
      return take(maxFrames);
    case kAudioOutputUnitProperty_SetInputCallback:
      return take(callback);
    default:
      return 0;
  }
}

Status FakeInputUnit::initialize() {
  return call("initialize");
}

Status FakeInputUnit::start() {
  Status s = call("start");
  started = s == 0;
  return s;
}

Status FakeInputUnit::deliver(uint32_t frames, uint64_t hostTime,
                              const std::vector<float>& samples) {
  block_ = &samples;
  TimeStamp time;
  time.hostTime = hostTime;
  RenderFlags flags = 0;
  Status s = callback.proc(callback.context, &flags, &time, 1, frames, nullptr);
  block_ = nullptr;
  return s;
}

Status FakeInputUnit::render(RenderFlags*, const TimeStamp*, uint32_t bus, uint32_t frames,
                             BufferList* data) {
  if (renderStatus != 0) {
    return renderStatus;
  }
  size_t count = size_t{frames} * format.channelsPerFrame;
  if (bus != 1 || !data || data->count != 1 || data->buffers[0].bytes != count * sizeof(float)) {
    return kAudio_ParamError;
  }
  auto* out = static_cast<float*>(data->buffers[0].data);
  size_t given = block_ ? std::min(count, block_->size()) : 0;
  if (given > 0) {
    std::memcpy(out, block_->data(), given * sizeof(float));
  }
  std::fill(out + given, out + count, 0.0f);
  return 0;
}

Status FakeInputUnit::stop() {
  started = false;
  return call("stop");
}

Status FakeInputUnit::uninitialize() {
  return call("uninitialize");
}

Status FakeInputUnit::dispose() {
  return call("dispose");
}

std::optional<ComponentId> FakeUnits::findNext(const ComponentDescription& description) {
  calls.push_back("find");
  if (!componentPresent || description.type != kAudioUnitType_Output ||
      description.subType != kAudioUnitSubType_HALOutput ||
      description.manufacturer != kAudioUnitManufacturer_Apple) {
    return std::nullopt;
  }
  return 7;
}

Status FakeUnits::newInstance(ComponentId component, std::unique_ptr<InputUnit>& made) {
  calls.push_back("new");
  if (Status s = status ? status("new") : 0) {
    return s;
  }
  if (component != 7) {
    return kAudio_ParamError;
  }
  auto fake = std::make_unique<FakeInputUnit>(*this);
  this->unit = fake.get();
  made = std::move(fake);
  return 0;
}

FakePlatform::FakePlatform() {
  auto props = std::make_unique<FakeProperties>();
  auto fakeUnits = std::make_unique<FakeUnits>();
  properties = props.get();
  units = fakeUnits.get();
  platform.properties = std::move(props);
  platform.units = std::move(fakeUnits);
}

}  // namespace wf::capture
