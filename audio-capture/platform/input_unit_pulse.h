#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio-capture/platform/input_unit.h"
#include "audio-capture/platform/pulse_connection.h"

namespace wf::capture {

/// An input unit recording one source of the sound server as 32-bit float
/// interleaved frames at the rate and channel count of the stream format.
/// The server's main-loop thread delivers the data; the unit cuts it into
/// blocks of at most the maximum frames per slice and calls the input
/// callback once per block, time-stamped with the monotonic clock (in
/// nanoseconds) at the block's first frame. When the server ends the
/// recording (the source is removed, the server goes away) the callback is
/// called once more with a block whose render fails. The recording never
/// moves to another source.
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
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onState(pa_stream* stream, void* self);
  void take(const uint8_t* data, size_t bytes, uint64_t now);
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
  bool ended_ = false;

  // Staging of incoming bytes into whole blocks; allocated at initialise.
  std::vector<uint8_t> staging_;
  size_t staged_ = 0;
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
