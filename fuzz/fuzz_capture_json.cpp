// audio-capture's argument dispatch against the scripted platform, with the
// device name taken from the input so the JSON line writer sees any bytes;
// every line it writes must be one line of valid JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio-capture/entry.h"
#include "audio-capture/fake_run.h"
#include "audio-capture/listing/json_line.h"
#include "audio-capture/platform/fake_platform.h"

using namespace wf::capture;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // NUL separates the pieces: the device name, then the arguments.
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  const std::string name = pieces.front();
  std::vector<std::string> args(pieces.begin() + 1, pieces.end());

  std::ostringstream line;
  json(nlohmann::json{{"name", name}}, line);
  const std::string written = line.str();
  if (written.empty() || written.back() != '\n' || written.find('\n') != written.size() - 1 ||
      !nlohmann::json::accept(written.substr(0, written.size() - 1))) {
    std::abort();
  }

  FakeRun r;
  FakeDevice d;
  d.id = 9;
  d.uid = name;
  d.name = name;
  r.fake.properties->devices.push_back(d);
  // Streaming modes end on the stop flag; a few passes are enough.
  int passes = 0;
  r.clock.onSleep = [&] {
    if (++passes >= 3) {
      r.stop = 1;
    }
  };
  run(args, r.fake.platform, r.io);
  return 0;
}
