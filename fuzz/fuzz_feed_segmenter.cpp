// The program feed's segmenter (WebM and MP4) and the join of an encoder
// that starts mid-stream. Checks, besides memory faults: events, init
// segment and failure do not depend on how the feed is cut; events go
// forward within the feed; the init segment of a single stream is the feed's
// first bytes up to its first fragment; and what a join writes is the init
// segment followed by the feed from a fragment's start to the end, as is a
// rewind's history.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/media/feed_segments.h"

using namespace wf::bridge;

namespace {

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

struct Run {
  bool ok = true;
  std::vector<FeedEvent> events;
  std::string init;
  std::string joined;
  bool did_join = false;
  std::string init_at_join;
  std::string history;
};

Run run(FeedContainer c, std::string_view feed, const std::vector<size_t>& cuts) {
  FeedSegmenter s(c);
  FeedJoin join;
  FeedRewind rewind;
  Run out;
  size_t begin = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t end = i < cuts.size() ? cuts[i] : feed.size();
    const auto chunk = std::make_shared<const std::string>(feed.substr(begin, end - begin));
    const uint64_t position = s.position();
    std::vector<FeedEvent> events;
    if (!s.push(*chunk, events).ok()) {
      out.ok = false;
    }
    rewind.observe(*chunk, position, events);
    const bool was_joined = join.joined();
    for (const SharedBytes& piece : join.admit(chunk, position, events, s.init_segment())) {
      out.joined += *piece;
    }
    if (!was_joined && join.joined()) {
      out.init_at_join = s.init_segment();
    }
    out.events.insert(out.events.end(), events.begin(), events.end());
    begin = end;
  }
  out.init = s.init_segment();
  out.did_join = join.joined();
  out.history = rewind.history();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) {
    return 0;
  }
  const FeedContainer c = data[0] & 1 ? FeedContainer::Mp4 : FeedContainer::WebM;
  const std::string_view feed(reinterpret_cast<const char*>(data + 3), size - 3);
  std::vector<size_t> cuts;
  if (!feed.empty()) {
    const size_t first = (size_t{data[1]} * 257 + data[2]) % (feed.size() + 1);
    cuts = {first, first + (feed.size() - first) / 3, first + 2 * (feed.size() - first) / 3};
  }
  const Run whole = run(c, feed, {});
  const Run pieces = run(c, feed, cuts);
  if (whole.ok != pieces.ok || whole.events != pieces.events || whole.init != pieces.init ||
      whole.history != pieces.history) {
    violated("a cut changed the result");
  }
  uint64_t last = 0;
  bool restarted = false;
  for (const FeedEvent& e : whole.events) {
    if (e.position < last || e.position > feed.size()) {
      violated("an event out of order or past the feed");
    }
    last = e.position;
    restarted |= e.kind == FeedEvent::Kind::StreamStart;
  }
  const auto first_fragment =
      std::find_if(whole.events.begin(), whole.events.end(),
                   [](const FeedEvent& e) { return e.kind == FeedEvent::Kind::FragmentStart; });
  if (!restarted && first_fragment != whole.events.end() &&
      (whole.init.size() != first_fragment->position ||
       whole.init != feed.substr(0, whole.init.size()))) {
    violated("the init segment is not the feed's head");
  }
  if (!whole.history.empty()) {
    const uint64_t from = feed.size() - whole.history.size();
    if (whole.history.size() > feed.size() || whole.history != feed.substr(from) ||
        std::none_of(whole.events.begin(), whole.events.end(), [from](const FeedEvent& e) {
          return e.kind == FeedEvent::Kind::FragmentStart && e.position == from;
        })) {
      violated("a history that is not the feed from a fragment's start");
    }
  }
  for (const Run* r : {&whole, &pieces}) {
    if (!r->did_join) {
      if (!r->joined.empty()) {
        violated("bytes written before the join");
      }
      continue;
    }
    const std::string& init = r->init_at_join;
    if (r->joined.compare(0, init.size(), init) != 0 ||
        r->joined.size() - init.size() > feed.size()) {
      violated("a join that does not start with the init segment");
    }
    const uint64_t from = feed.size() - (r->joined.size() - init.size());
    if (r->joined.compare(init.size(), std::string::npos, feed.substr(from)) != 0 ||
        std::none_of(whole.events.begin(), whole.events.end(), [from](const FeedEvent& e) {
          return e.kind == FeedEvent::Kind::FragmentStart && e.position == from;
        })) {
      violated("a join that does not continue the feed from a fragment's start");
    }
  }
  return 0;
}
