#include "audio-capture/stream/capture.h"

#include "audio-capture/failure.h"
#include "audio-capture/listing/devices.h"
#include "audio-capture/listing/json_line.h"

namespace wf::capture {

namespace {

void check(Status status) {
  if (status != 0) {
    throw Failure(Failure::Reason::configuration, "audio unit setup failed");
  }
}

template <typename T>
void set(InputUnit& unit, uint32_t property, uint32_t scope, uint32_t element, const T& value) {
  check(unit.setProperty(property, scope, element, &value, sizeof value));
}

const nlohmann::json* findRecord(const nlohmann::json& records, const std::string& uid) {
  for (const nlohmann::json& record : records) {
    if (record.value("uid", std::string()) == uid) {
      return &record;
    }
  }
  return nullptr;
}

void openUnit(Capture& capture, UnitService& units) {
  ComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                   kAudioUnitManufacturer_Apple, 0, 0};
  std::optional<ComponentId> component = units.findNext(description);
  if (!component) {
    throw Failure(Failure::Reason::componentMissing, "no input unit component");
  }
  check(units.newInstance(*component, capture.unit));
  if (!capture.unit) {
    throw Failure(Failure::Reason::configuration, "no input unit made");
  }
  InputUnit& unit = *capture.unit;
  set<uint32_t>(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, 1);
  set<uint32_t>(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, 0);
  set<uint32_t>(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                capture.device);
  StreamDescription format;
  format.sampleRate = capture.rate;
  format.formatId = kAudioFormatLinearPCM;
  format.formatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  format.bytesPerPacket = 4 * capture.channels;
  format.framesPerPacket = 1;
  format.bytesPerFrame = 4 * capture.channels;
  format.channelsPerFrame = capture.channels;
  format.bitsPerChannel = 32;
  format.reserved = 0;
  set(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, format);
  set<uint32_t>(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                MAX_FRAMES);
  set(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
      CallbackStruct{&callback, &capture});
  check(unit.initialize());
  check(unit.start());
}

}  // namespace

Capture::~Capture() {
  closeUnit();
}

void Capture::closeUnit() {
  if (!unit) {
    return;
  }
  unit->stop();
  unit->uninitialize();
  unit->dispose();
  unit.reset();
}

Status callback(void* context, RenderFlags* flags, const TimeStamp* time, uint32_t bus,
                uint32_t frames, BufferList*) {
  auto& capture = *static_cast<Capture*>(context);
  if (frames > MAX_FRAMES) {
    capture.failed.store(true);
    return kAudio_ParamError;
  }
  BufferList list;
  list.count = 1;
  list.buffers[0].channels = capture.channels;
  list.buffers[0].bytes = frames * capture.channels * 4;
  list.buffers[0].data = capture.scratch;
  Status status = capture.unit->render(flags, time, bus, frames, &list);
  if (status != 0) {
    capture.failed.store(true);
    return status;
  }
  // A full ring loses the block; the ring marks the next packet it queues.
  capture.ring.push(frames, time ? time->hostTime : 0, capture.scratch,
                    size_t{frames} * capture.channels);
  return 0;
}

bool healthy(PropertyService& properties, const Capture& capture) {
  uint32_t alive = 0;
  if (!property(properties, capture.device, kAudioDevicePropertyDeviceIsAlive, &alive,
                sizeof alive) ||
      alive == 0) {
    return false;
  }
  double rate = 0.0;
  if (!property(properties, capture.device, kAudioDevicePropertyNominalSampleRate, &rate,
                sizeof rate) ||
      !(rate == capture.rate)) {
    return false;
  }
  return channels(properties, capture.device) == capture.channels;
}

void writerLoop(Capture& capture, PropertyService& properties, Io& io) {
  Clock::TimePoint nextCheck = io.clock.now();
  while (io.stopping == 0 && !capture.failed.load()) {
    const Packet* packet = capture.ring.front();
    if (!packet) {
      io.clock.sleepFor(std::chrono::milliseconds(1));
    } else {
      size_t sampleBytes = size_t{packet->frames} * capture.channels * sizeof(float);
      if (!writeAll(io.raw, packet, PACKET_HEADER_BYTES, io.stopping) ||
          !writeAll(io.raw, packet->samples, sampleBytes, io.stopping)) {
        return;
      }
      capture.ring.pop();
    }
    if (io.clock.now() > nextCheck) {
      if (!healthy(properties, capture)) {
        capture.failed.store(true);
      }
      nextCheck = io.clock.now() + HEALTH_INTERVAL;
    }
  }
}

void capture(const std::string& uid, const nlohmann::json& records, Platform& platform, Io& io) {
  const nlohmann::json* record = findRecord(records, uid);
  // Records come from the enumeration, which never keeps a device outside
  // 1..64 channels; the guard keeps a block within one packet regardless.
  if (!record || record->at("channels").get<uint32_t>() == 0 ||
      record->at("channels").get<uint32_t>() > MAX_CHANNELS) {
    throw Failure(Failure::Reason::deviceMissing, "no such input device");
  }
  auto state = std::make_unique<Capture>();
  state->channels = record->at("channels").get<uint32_t>();
  state->rate = record->at("sampleRate").get<double>();
  state->device = record->at("object").get<ObjectId>();
  openUnit(*state, *platform.units);
  json({{"channels", state->channels}, {"sampleRate", state->rate}, {"mode", "coreaudio"}}, io.out);
  writerLoop(*state, *platform.properties, io);
  state->closeUnit();
  if (state->failed.load()) {
    throw Failure(Failure::Reason::disconnect, "input device failed or changed");
  }
}

}  // namespace wf::capture
