#pragma once

#include <memory>

#include "audio-capture/platform/input_unit.h"
#include "audio-capture/platform/properties.h"

namespace wf::capture {

/// The machine's audio services: property reads and input units. Nothing is
/// connected until the first call, so modes that use neither touch nothing.
struct Platform {
  std::unique_ptr<PropertyService> properties;
  std::unique_ptr<UnitService> units;
};

/// The platform's real services (the build picks the implementation file).
Platform makePlatform();

}  // namespace wf::capture
