#include <memory>

#include "audio-capture/platform/input_unit_pulse.h"
#include "audio-capture/platform/platform.h"
#include "audio-capture/platform/properties_pulse.h"

namespace wf::capture {

Platform makePlatform() {
  auto connection = std::make_shared<PulseConnection>();
  return Platform{std::make_unique<PulseProperties>(connection),
                  std::make_unique<PulseUnits>(connection)};
}

}  // namespace wf::capture
