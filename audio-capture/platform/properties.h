#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace wf::capture {

/// Identifier of an audio object: the system object or one device.
using ObjectId = uint32_t;
/// Result of a platform call: 0 for success, anything else a failure code.
using Status = int32_t;

/// Packs four characters into a 32-bit code, the first character in the most
/// significant byte ("dev#" is 0x64657623).
constexpr uint32_t fourcc(const char (&c)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(c[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c[3]));
}

/// The object that answers the device list.
constexpr ObjectId kAudioObjectSystemObject = 1;

constexpr uint32_t kAudioObjectPropertyScopeGlobal = fourcc("glob");
constexpr uint32_t kAudioObjectPropertyScopeInput = fourcc("inpt");
constexpr uint32_t kAudioObjectPropertyScopeOutput = fourcc("outp");
constexpr uint32_t kAudioObjectPropertyElementMain = 0;

constexpr uint32_t kAudioHardwarePropertyDevices = fourcc("dev#");
constexpr uint32_t kAudioDevicePropertyStreamConfiguration = fourcc("slay");
constexpr uint32_t kAudioDevicePropertyNominalSampleRate = fourcc("nsrt");
constexpr uint32_t kAudioDevicePropertyDeviceUID = fourcc("uid ");
constexpr uint32_t kAudioObjectPropertyName = fourcc("lnam");
constexpr uint32_t kAudioDevicePropertyAvailableNominalSampleRates = fourcc("nsr#");
constexpr uint32_t kAudioDevicePropertyDeviceIsAlive = fourcc("livn");

/// Names one property of an object.
struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = kAudioObjectPropertyScopeGlobal;
  uint32_t element = kAudioObjectPropertyElementMain;
};

/// The address of a property on element 0.
constexpr PropertyAddress address(uint32_t selector, uint32_t scope) {
  return PropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

/// One nominal rate range of a device, as the rate list property lays it out.
struct AudioValueRange {
  double minimum = 0;
  double maximum = 0;
};

/// Reads properties of the machine's audio objects. Values are laid out as
/// the property defines them: the device list as 32-bit ids, the stream
/// configuration as a buffer list (a 32-bit buffer count, then 16-byte
/// entries from byte 8, each starting with its 32-bit channel count), rates
/// as 64-bit floats, rate ranges as `AudioValueRange`, "alive" as a 32-bit
/// value. Implementations answer on any thread that is not an audio thread.
class PropertyService {
 public:
  virtual ~PropertyService() = default;

  /// The byte size of the property's current value; false when the object
  /// does not exist, lacks the property or the read fails.
  virtual bool dataSize(ObjectId object, const PropertyAddress& address, uint32_t& size) = 0;

  /// Reads the value into `buffer`. `size` holds the buffer's capacity on
  /// entry and the number of bytes written on return. False on failure, the
  /// buffer then holds nothing of value.
  virtual bool data(ObjectId object, const PropertyAddress& address, uint32_t& size,
                    void* buffer) = 0;

  /// Reads a string-valued property. On success `value` receives the string,
  /// which the caller owns, or null when the object gave no string.
  virtual bool string(ObjectId object, const PropertyAddress& address,
                      std::unique_ptr<std::string>& value) = 0;

  /// True once a read was given up because the service behind it stopped
  /// answering within its deadline (a hung sound server); the failed reads
  /// then say nothing about the devices, and every later read fails too.
  virtual bool stalled() { return false; }
};

}  // namespace wf::capture
