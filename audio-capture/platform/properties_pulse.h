#pragma once

#include <memory>

#include "audio-capture/platform/properties.h"
#include "audio-capture/platform/pulse_connection.h"

namespace wf::capture {

/// Property reads answered by the sound server. Each source is a device:
/// its persistent name is the uid, its description the name, its sample
/// format gives the input channel count (one input stream) and the nominal
/// rate, which is also its one available rate range. A device is alive while the
/// source exists.
class PulseProperties : public PropertyService {
 public:
  explicit PulseProperties(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}

  bool dataSize(ObjectId object, const PropertyAddress& address, uint32_t& size) override;
  bool data(ObjectId object, const PropertyAddress& address, uint32_t& size, void* buffer) override;
  bool string(ObjectId object, const PropertyAddress& address,
              std::unique_ptr<std::string>& value) override;
  bool stalled() override { return connection_->stalled(); }

 private:
  std::shared_ptr<PulseConnection> connection_;
};

}  // namespace wf::capture
