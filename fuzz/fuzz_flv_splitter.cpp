// The FLV splitter and the publisher join over the encoder's output. Checks,
// besides memory faults: the units do not depend on how the stream is cut;
// the units re-joined equal the bytes consumed; and what a join hands a
// publisher is itself a whole FLV stream that starts with a header and, after
// the head, a keyframe.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/media/flv_tags.h"

using namespace wf::bridge;

namespace {

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

struct Split {
  bool ok = true;
  std::vector<FlvTag> units;
  uint64_t consumed = 0;
};

Split split(std::string_view stream, const std::vector<size_t>& cuts) {
  FlvSplitter s;
  Split out;
  size_t begin = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t end = i < cuts.size() ? cuts[i] : stream.size();
    if (!s.push(stream.substr(begin, end - begin), out.units).ok()) {
      out.ok = false;
    }
    begin = end;
  }
  out.consumed = s.consumed();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  // The first two bytes choose where to cut the rest.
  const size_t a = data[0], b = data[1];
  const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<size_t> cuts;
  if (!stream.empty()) {
    const size_t first = (a * 257 + b) % (stream.size() + 1);
    cuts = {first, first + (stream.size() - first) / 2};
  }

  const Split whole = split(stream, {});
  const Split pieces = split(stream, cuts);
  if (whole.ok != pieces.ok || whole.consumed != pieces.consumed ||
      whole.units.size() != pieces.units.size()) {
    violated("a cut changed the result");
  }
  std::string rejoined;
  for (size_t i = 0; i < whole.units.size(); ++i) {
    if (whole.units[i].kind != pieces.units[i].kind ||
        whole.units[i].timestamp_ms != pieces.units[i].timestamp_ms ||
        *whole.units[i].bytes != *pieces.units[i].bytes) {
      violated("a cut changed a unit");
    }
    if ((i == 0) != (whole.units[i].kind == FlvTagKind::FileHeader)) {
      violated("the header unit is not the first and only one");
    }
    rejoined += *whole.units[i].bytes;
  }
  if (rejoined != stream.substr(0, whole.consumed)) {
    violated("the units are not the consumed bytes");
  }

  // A publisher joining after every n-th unit.
  const size_t from = whole.units.empty() ? 0 : a % whole.units.size();
  FlvHead head;
  FlvJoin join;
  std::string published;
  size_t passed = 0;
  for (size_t i = 0; i < whole.units.size(); ++i) {
    head.observe(whole.units[i]);
    if (i < from) {
      continue;
    }
    const bool was_joined = join.joined();
    const std::vector<SharedBytes> out = join.admit(whole.units[i], head);
    if (!was_joined && !out.empty() &&
        (whole.units[i].kind != FlvTagKind::VideoKeyframe || out.back() != whole.units[i].bytes)) {
      violated("a join that does not start at a keyframe");
    }
    for (const SharedBytes& bytes : out) {
      published += *bytes;
      ++passed;
    }
  }
  if (join.joined()) {
    const Split again = split(published, {});
    if (!again.ok || again.consumed != published.size() || again.units.size() != passed ||
        again.units[0].kind != FlvTagKind::FileHeader) {
      violated("a publisher's stream is not a whole FLV stream");
    }
  } else if (!published.empty()) {
    violated("bytes passed before the join");
  }
  return 0;
}
