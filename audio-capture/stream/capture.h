#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "audio-capture/io.h"
#include "audio-capture/platform/platform.h"
#include "audio-capture/stream/packet.h"
#include "audio-capture/stream/packet_ring.h"

namespace wf::capture {

/// Time between two health checks of the device.
constexpr auto HEALTH_INTERVAL = std::chrono::milliseconds(250);

/// The state of one capture. The audio thread (`callback`) queues blocks into
/// `ring` and the writer loop writes them out; they share only the ring and
/// `failed`. Large (about 8.3 MiB): keep it on the heap. Destroying it while
/// the unit is open stops, uninitialises and disposes of the unit, in that
/// order.
struct Capture {
  std::unique_ptr<InputUnit> unit;
  uint32_t channels = 0;
  PacketRing ring;
  /// Where the audio thread renders a block before queueing it.
  float scratch[PACKET_SAMPLES] = {};
  /// Set when the device failed or changed; never cleared.
  std::atomic<bool> failed{false};

  /// The device's nominal rate and id, from its record.
  double rate = 0;
  ObjectId device = 0;

  Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture();

  /// Stops, uninitialises and disposes of the unit if one is open (statuses
  /// ignored), leaving `unit` null.
  void closeUnit();
};

/// The input callback: pulls one block from the unit into the scratch block
/// and queues it. A block over 1024 frames or a failed render sets `failed`
/// and returns a failure status; a full ring loses the block and marks the
/// next queued packet as dropped. Never waits, locks or allocates.
Status callback(void* context, RenderFlags* flags, const TimeStamp* time, uint32_t bus,
                uint32_t frames, BufferList* data);

/// True when the device is still alive at the capture's nominal rate and
/// channel count; the reads stop at the first that fails.
bool healthy(PropertyService& properties, const Capture& capture);

/// Writes queued packets (header, then frame count × channels samples) until
/// `stopping` or `failed` is set or a write fails, polling an empty ring every
/// millisecond and checking the device's health every 250 ms.
void writerLoop(Capture& capture, PropertyService& properties, Io& io);

/// `--capture`: streams the device whose record has `uid` to standard output
/// as a header line and packets until stopped. Returns normally when stopped
/// or when standard output is gone; throws `Failure` when the device is
/// missing, the unit cannot be set up, or the device fails or changes.
void capture(const std::string& uid, const nlohmann::json& records, Platform& platform, Io& io);

}  // namespace wf::capture
