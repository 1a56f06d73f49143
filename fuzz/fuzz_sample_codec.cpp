// The "process" sample codec against the whole-line parser: routing must give
// the same route, the same error text and the same float bits as parsing the
// line with the library. Any disagreement stops the run.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/envelope.h"
#include "channel/sample_text.h"

using namespace wf::host;
using nlohmann::json;

namespace {

[[noreturn]] void disagree(const char* what) {
  std::fprintf(stderr, "sample codec disagrees with the parser: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  QueuedLine routed;
  const Route route = routeLine(line, routed);
  if (line.empty()) {
    return 0;
  }

  json whole;
  std::optional<std::string> error;
  try {
    whole = json::parse(line);
  } catch (const json::exception& e) {
    error = e.what();
  }
  if (error != routed.parseError) {
    disagree("error text");
  }
  if (error) {
    if (route != Route::Command) {
      disagree("route of a line that does not parse");
    }
    return 0;
  }
  const bool process = whole.is_object() && whole.contains("op") && whole["op"] == "process";
  if (route != (process ? Route::Process : Route::Command)) {
    disagree("route");
  }
  if (!routed.samples) {
    if (whole != routed.value) {
      disagree("value");
    }
    return 0;
  }
  std::vector<float> expected = whole.at("pcm").get<std::vector<float>>();
  if (expected.size() != routed.samples->size() ||
      (!expected.empty() && std::memcmp(expected.data(), routed.samples->data(),
                                        expected.size() * sizeof(float)) != 0)) {
    disagree("float bits");
  }
  whole.erase("pcm");
  if (whole != routed.value) {
    disagree("members beside the samples");
  }
  // Written samples must read back to the same bits.
  std::string text;
  appendSamples(text, *routed.samples);
  json back = json::parse(text);
  for (size_t i = 0; i < routed.samples->size(); ++i) {
    float s = (*routed.samples)[i];
    if (!std::isfinite(s)) {
      continue;
    }
    const float read = static_cast<float>(back.at(i).get<double>());
    if (std::memcmp(&s, &read, sizeof s) != 0) {
      disagree("written samples");
    }
  }
  return 0;
}
