#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio-capture/platform/input_unit.h"
#include "audio-capture/platform/pulse_connection.h"

namespace wf::capture {

/// An input unit recording one source of the sound server as 32-bit float
/// interleaved frames at the rate and channel count of the stream format.
///
/// Sources hand over their data in chunks of up to their latency (the test
/// sine source: seconds at once). Like a device's audio thread, the unit
/// paces the data out in real time instead: a timer on the server's
/// main-loop thread calls the input callback with blocks of the maximum
/// frames per slice as the monotonic clock reaches them, counted from the
/// first data that arrived. When the source falls behind, the pacing waits
/// for it rather than bursting later. Each block is time-stamped with the
/// monotonic clock (nanoseconds) at its first frame as paced. When the server
/// ends the recording (the source is removed, the server goes away) the
/// callback is called once more with a block whose render fails. The
/// recording never moves to another source.
class PulseInputUnit : public InputUnit {
 public:
  explicit PulseInputUnit(std::shared_ptr<PulseConnection> connection);
  ~PulseInputUnit() override;

  Status setProperty(uint32_t property, uint32_t scope, uint32_t element, const void* value,
                     uint32_t size) override;
  Status initialize() override;
  Status start() override;
  Status render(RenderFlags* flags, const TimeStamp* time, uint32_t bus, uint32_t frames,
                BufferList* data) override;
  Status stop() override;
  Status uninitialize() override;
  Status dispose() override;

 private:
  static void onState(pa_stream* stream, void* self);
  static void onTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                     void* self);
  void pace(uint64_t now);
  size_t pendingFrames() const;
  bool pull();
  void deliver(uint32_t frames, uint64_t hostTime);
  void reportEnd();

  std::shared_ptr<PulseConnection> connection_;
  bool inputOn_ = false;
  bool outputOn_ = true;
  bool deviceSet_ = false;
  ObjectId device_ = 0;
  bool formatSet_ = false;
  StreamDescription format_;
  uint32_t maxFrames_ = 4096;
  CallbackStruct callback_;
  bool initialized_ = false;

  SourceInfo source_;
  uint32_t frameBytes_ = 0;
  pa_stream* stream_ = nullptr;
  pa_time_event* tick_ = nullptr;
  bool ended_ = false;

  // Data taken from the server and not yet delivered: bytes from
  // `pendingStart_` to the end of `pending_`.
  std::vector<uint8_t> pending_;
  size_t pendingStart_ = 0;
  // Pacing: the clock reading that frame `anchorFrames_` is due at.
  bool anchored_ = false;
  uint64_t anchorTime_ = 0;
  uint64_t anchorFrames_ = 0;
  const uint8_t* current_ = nullptr;
  uint32_t currentFrames_ = 0;
  uint64_t framesDelivered_ = 0;
};

/// Makes `PulseInputUnit`s: the one component is the hardware-abstraction
/// output unit with its input side.
class PulseUnits : public UnitService {
 public:
  explicit PulseUnits(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}

  std::optional<ComponentId> findNext(const ComponentDescription& description) override;
  Status newInstance(ComponentId component, std::unique_ptr<InputUnit>& unit) override;

 private:
  std::shared_ptr<PulseConnection> connection_;
};

}  // namespace wf::capture
