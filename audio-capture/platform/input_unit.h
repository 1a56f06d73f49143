#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "audio-capture/platform/properties.h"

namespace wf::capture {

/// Describes the audio component to find.
struct ComponentDescription {
  uint32_t type = 0;
  uint32_t subType = 0;
  uint32_t manufacturer = 0;
  uint32_t flags = 0;
  uint32_t flagsMask = 0;
};

constexpr uint32_t kAudioUnitType_Output = fourcc("auou");
constexpr uint32_t kAudioUnitSubType_HALOutput = fourcc("ahal");
constexpr uint32_t kAudioUnitManufacturer_Apple = fourcc("appl");

constexpr uint32_t kAudioOutputUnitProperty_EnableIO = 2003;
constexpr uint32_t kAudioOutputUnitProperty_CurrentDevice = 2000;
constexpr uint32_t kAudioUnitProperty_StreamFormat = 8;
constexpr uint32_t kAudioUnitProperty_MaximumFramesPerSlice = 14;
constexpr uint32_t kAudioOutputUnitProperty_SetInputCallback = 2005;

constexpr uint32_t kAudioUnitScope_Global = 0;
constexpr uint32_t kAudioUnitScope_Input = 1;
constexpr uint32_t kAudioUnitScope_Output = 2;

constexpr uint32_t kAudioFormatLinearPCM = fourcc("lpcm");
constexpr uint32_t kAudioFormatFlagIsFloat = 1;
constexpr uint32_t kAudioFormatFlagIsPacked = 8;
constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 32;

constexpr Status kAudio_ParamError = -50;
constexpr Status kAudioUnitErr_InvalidProperty = -10879;
constexpr Status kAudioUnitErr_InvalidElement = -10877;
constexpr Status kAudioUnitErr_NoConnection = -10876;
constexpr Status kAudioUnitErr_FailedInitialization = -10875;
constexpr Status kAudioUnitErr_FormatNotSupported = -10868;
constexpr Status kAudioUnitErr_InvalidPropertyValue = -10851;
constexpr Status kAudioUnitErr_Uninitialized = -10867;

/// The format in which the unit hands over the input: 40 bytes.
struct StreamDescription {
  double sampleRate = 0;
  uint32_t formatId = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
  uint32_t reserved = 0;
};
static_assert(sizeof(StreamDescription) == 40);

/// One buffer of a buffer list: 16 bytes.
struct AudioBuffer {
  uint32_t channels = 0;
  uint32_t bytes = 0;
  void* data = nullptr;
};

/// A buffer list with room for one buffer: the count, then the entries from
/// byte 8.
struct BufferList {
  uint32_t count = 0;
  AudioBuffer buffers[1];
};
static_assert(sizeof(AudioBuffer) == 16 && sizeof(BufferList) == 24);

/// When a block was captured: its position in frames and the monotonic clock
/// in nanoseconds at its first frame.
struct TimeStamp {
  double sampleTime = 0;
  uint64_t hostTime = 0;
};

using RenderFlags = uint32_t;

/// Called on the unit's own audio thread for each captured block of `frames`
/// frames; the callee pulls the block with `InputUnit::render`. `data` is
/// unused and may be null. Returns 0 or a failure status.
using InputCallback = Status (*)(void* context, RenderFlags* flags, const TimeStamp* time,
                                 uint32_t bus, uint32_t frames, BufferList* data);

/// The value of the input callback property: 16 bytes.
struct CallbackStruct {
  InputCallback proc = nullptr;
  void* context = nullptr;
};
static_assert(sizeof(CallbackStruct) == 16);

/// An input unit recording one device. The owner sets its properties
/// (input on, output off, the device, the stream format of the input bus,
/// at most 1024 frames per block, the input callback), initialises and
/// starts it; the unit then calls the callback on its own thread until it is
/// stopped. Once `stop` returns, the callback is not running and will not be
/// called again. Every call but `render` is made from one controlling thread.
class InputUnit {
 public:
  virtual ~InputUnit() = default;

  virtual Status setProperty(uint32_t property, uint32_t scope, uint32_t element, const void* value,
                             uint32_t size) = 0;
  virtual Status initialize() = 0;
  virtual Status start() = 0;

  /// Copies the block being delivered into the first buffer of `data`, as
  /// interleaved samples in the stream format. Only valid inside the input
  /// callback, for bus 1 and the callback's frame count. Never waits, locks
  /// or allocates.
  virtual Status render(RenderFlags* flags, const TimeStamp* time, uint32_t bus, uint32_t frames,
                        BufferList* data) = 0;

  virtual Status stop() = 0;
  virtual Status uninitialize() = 0;
  /// Releases the unit's platform resources; nothing may be called afterwards.
  virtual Status dispose() = 0;
};

/// Opaque handle of an audio component.
using ComponentId = uint32_t;

/// Finds audio components and makes units of them.
class UnitService {
 public:
  virtual ~UnitService() = default;

  /// The first component matching the description; nullopt when none does.
  virtual std::optional<ComponentId> findNext(const ComponentDescription& description) = 0;
  /// Makes a new unit of the component into `unit`; non-zero status on failure.
  virtual Status newInstance(ComponentId component, std::unique_ptr<InputUnit>& unit) = 0;
};

}  // namespace wf::capture
