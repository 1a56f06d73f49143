#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "audio-capture/platform/properties.h"

namespace wf::capture {

/// Devices with more input channels than this are not offered: one block of
/// at most 1024 frames must fit a 65536-sample packet.
constexpr uint32_t MAX_CHANNELS = 64;

/// Reads the property at `selector` and `scope` (element 0) of `object` into
/// `buffer` of `size` bytes; true exactly when the read succeeds.
bool property(PropertyService& properties, ObjectId object, uint32_t selector, void* buffer,
              uint32_t size, uint32_t scope = kAudioObjectPropertyScopeGlobal);

/// The device's total input channel count over all its input streams; 0 when
/// the stream configuration cannot be read.
uint32_t channels(PropertyService& properties, ObjectId object);

/// A string-valued property in the global scope; "" when it cannot be read
/// or the object gives no string.
std::string text(PropertyService& properties, ObjectId object, uint32_t selector);

/// The input devices in the order the system lists them, each a record with
/// "availableSampleRates", "uid", "name", "channels", "sampleRate" and
/// "object". Devices without inputs, with more than 64 channels, without a
/// readable nominal rate or with an empty uid are skipped; an unreadable name
/// gives "", unreadable rates give []. Never fails: an unreadable device list
/// gives an empty list.
nlohmann::json devices(PropertyService& properties);

/// The `--list` result: {"inputs": records without their "object" key}.
nlohmann::json listing(const nlohmann::json& records);

}  // namespace wf::capture
