#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio-capture/platform/input_unit.h"
#include "audio-capture/platform/platform.h"
#include "audio-capture/platform/properties.h"

namespace wf::capture {

/// A scripted device: every answer can be set, and any property can be made
/// to fail.
struct FakeDevice {
  ObjectId id = 0;
  /// Channel counts of the input streams, one entry per stream.
  std::vector<uint32_t> inputStreams = {2};
  double rate = 48000;
  std::string uid = "fake-device";
  std::string name = "Fake Device";
  std::vector<AudioValueRange> rates = {{44100, 48000}};
  uint32_t alive = 1;
  /// Selectors whose size query fails.
  std::set<uint32_t> failSize;
  /// Selectors whose read fails.
  std::set<uint32_t> failRead;
  /// String selectors that read successfully but give no string.
  std::set<uint32_t> nullString;
};

/// Property reads answered from a table of scripted devices. Records every
/// read as "<object> <selector>" so tests can see what was asked.
class FakeProperties : public PropertyService {
 public:
  std::vector<FakeDevice> devices;
  bool failListSize = false;
  bool failList = false;
  /// What `stalled` answers.
  bool stalledAnswer = false;
  std::vector<std::string> reads;

  /// The device with `id`; throws when there is none.
  FakeDevice& device(ObjectId id);

  bool dataSize(ObjectId object, const PropertyAddress& address, uint32_t& size) override;
  bool data(ObjectId object, const PropertyAddress& address, uint32_t& size, void* buffer) override;
  bool string(ObjectId object, const PropertyAddress& address,
              std::unique_ptr<std::string>& value) override;
  bool stalled() override { return stalledAnswer; }

 private:
  FakeDevice* find(ObjectId id);
  std::optional<std::vector<uint8_t>> value(ObjectId object, const PropertyAddress& address);
};

class FakeUnits;

/// A unit that records what is asked of it and delivers blocks on command.
class FakeInputUnit : public InputUnit {
 public:
  explicit FakeInputUnit(FakeUnits& owner) : owner_(&owner) {}
  ~FakeInputUnit() override;

  /// Calls the input callback with a block of `frames` frames whose samples
  /// are `samples` (frames × channels values; zeros when shorter), as the
  /// audio thread would. Returns the callback's status.
  Status deliver(uint32_t frames, uint64_t hostTime, const std::vector<float>& samples = {});

  /// Status that `render` returns; 0 renders the block.
  Status renderStatus = 0;

  StreamDescription format;
  ObjectId device = 0;
  uint32_t maxFrames = 0;
  CallbackStruct callback;
  bool started = false;

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
  Status call(const std::string& name);

  FakeUnits* owner_;
  const std::vector<float>* block_ = nullptr;
};

/// Makes `FakeInputUnit`s. `status` decides the result of each scripted call
/// by its name: "new", "set <property> <scope> <element>", "initialize",
/// "start"; `calls` lists every call made on the service and its units, in
/// order ("stop", "uninitialize", "dispose" too).
class FakeUnits : public UnitService {
 public:
  bool componentPresent = true;
  std::function<Status(const std::string& call)> status;
  std::vector<std::string> calls;
  /// The unit made last, while it exists.
  FakeInputUnit* unit = nullptr;

  std::optional<ComponentId> findNext(const ComponentDescription& description) override;
  Status newInstance(ComponentId component, std::unique_ptr<InputUnit>& unit) override;
};

/// A platform whose services are the two fakes, reachable for scripting.
struct FakePlatform {
  FakeProperties* properties;
  FakeUnits* units;
  Platform platform;

  FakePlatform();
};

}  // namespace wf::capture
