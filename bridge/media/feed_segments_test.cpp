#include "bridge/media/feed_segments.h"

#include <gtest/gtest.h>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace wf::bridge {
namespace {

// ---- Handmade WebM ----

std::string be(uint64_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  return out;
}

std::string ebml_id(uint32_t id) {
  return be(id, id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1);
}

std::string ebml_size(uint64_t n) {
  if (n < 0x7F) {
    return be(0x80 | n, 1);
  }
  if (n < 0x3FFF) {
    return be(0x4000 | n, 2);
  }
  return be(0x10000000 | n, 4);
}

std::string el(uint32_t id, const std::string& body) {
  return ebml_id(id) + ebml_size(body.size()) + body;
}
std::string unknown(uint32_t id) {
  return ebml_id(id) + std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
}

constexpr uint32_t EBML = 0x1A45DFA3, SEGMENT = 0x18538067, CLUSTER = 0x1F43B675,
                   TRACKS = 0x1654AE6B, INFO = 0x1549A966, VOID = 0xEC;

std::string track(int number, int type) {
  return el(0xAE, el(0xD7, be(number, 1)) + el(0x83, be(type, 1)) + el(0x86, "V_VP8"));
}
std::string simple(int track, bool key, const std::string& payload = "frame") {
  return el(0xA3, be(0x80 | track, 1) + std::string("\0\0", 2) + be(key ? 0x80 : 0, 1) + payload);
}
std::string group(int track, bool referenced) {
  return el(0xA0, el(0xA1, be(0x80 | track, 1) + std::string("\0\0\0", 3) + "frame") +
                      (referenced ? el(0xFB, "\x01") : ""));
}

std::string webm_head(const std::string& tracks = track(1, 1) + track(2, 2)) {
  return el(EBML, el(0x4282, "webm")) + unknown(SEGMENT) + el(INFO, el(0x2AD7B1, be(1000000, 3))) +
         el(TRACKS, tracks);
}

// Clusters as a recorder cuts them: one opening with audio before a
// keyframe, one opening with a non-key frame, a known-size one of block
// groups, and one whose keyframe is a block group.
const std::string CLUSTER_AUDIO_FIRST =
    unknown(CLUSTER) + el(0xE7, "\x00") + simple(2, true, "sound") + simple(1, true);
const std::string CLUSTER_NON_KEY =
    unknown(CLUSTER) + el(0xE7, "\x10") + el(VOID, "pad") + simple(1, false) + simple(2, true);
const std::string CLUSTER_KNOWN = el(CLUSTER, el(0xE7, "\x20") + group(1, true) + simple(2, true));
const std::string CLUSTER_GROUP_KEY = unknown(CLUSTER) + el(0xE7, "\x30") + group(1, false) +
                                      el(0xBF, "crc!") + group(1, true) + simple(1, false);

std::string webm_stream() {
  return webm_head() + CLUSTER_AUDIO_FIRST + CLUSTER_NON_KEY + CLUSTER_KNOWN + CLUSTER_GROUP_KEY;
}

// Events written as text: "S@pos" stream starts, "F@pos" fragments (with
// "*" when any fragment will do), "K"/"k" key and non-key frames.
std::string summary(const std::vector<FeedEvent>& events) {
  std::string out;
  for (const FeedEvent& e : events) {
    switch (e.kind) {
      case FeedEvent::Kind::StreamStart:
        out += "S@" + std::to_string(e.position) + " ";
        break;
      case FeedEvent::Kind::FragmentStart:
        out += "F@" + std::to_string(e.position) + (e.key ? "* " : " ");
        break;
      case FeedEvent::Kind::VideoFrame:
        out += e.key ? "K " : "k ";
        break;
    }
  }
  return out;
}

struct Parsed {
  std::vector<FeedEvent> events;
  std::string init;
  bool init_complete = false;
};

Parsed parse(FeedContainer c, const std::string& stream) {
  FeedSegmenter s(c);
  Parsed p;
  const Status status = s.push(stream, p.events);
  EXPECT_TRUE(status.ok()) << status.error().message();
  p.init = s.init_segment();
  p.init_complete = s.init_complete();
  return p;
}

std::string at(size_t n) {
  return "@" + std::to_string(n);
}

TEST(FeedSegmenter, FindsClustersKeyframesAndTheInitSegment) {
  const std::string head = webm_head();
  const Parsed p = parse(FeedContainer::WebM, webm_stream());
  size_t c2 = head.size() + CLUSTER_AUDIO_FIRST.size();
  size_t c3 = c2 + CLUSTER_NON_KEY.size();
  size_t c4 = c3 + CLUSTER_KNOWN.size();
  EXPECT_EQ("F" + at(head.size()) + " K F" + at(c2) + " k F" + at(c3) + " k F" + at(c4) + " K k k ",
            summary(p.events));
  EXPECT_TRUE(p.init_complete);
  EXPECT_EQ(head, p.init);
}

TEST(FeedSegmenter, ReportsFramesWhereTheyBecomeKnown) {
  const std::string stream = webm_stream();
  const Parsed p = parse(FeedContainer::WebM, stream);
  uint64_t last = 0;
  for (const FeedEvent& e : p.events) {
    EXPECT_GE(e.position, last);
    EXPECT_LE(e.position, stream.size());
    last = e.position;
  }
}

// The segmenter's result does not depend on how the feed is cut.
void expect_any_split_same(FeedContainer c, const std::string& stream) {
  const Parsed whole = parse(c, stream);
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      FeedSegmenter s(c);
      std::vector<FeedEvent> events;
      ASSERT_TRUE(s.push(std::string_view(stream).substr(0, i), events).ok());
      ASSERT_TRUE(s.push(std::string_view(stream).substr(i, j - i), events).ok());
      ASSERT_TRUE(s.push(std::string_view(stream).substr(j), events).ok());
      ASSERT_EQ(whole.events, events) << i << "," << j;
      ASSERT_EQ(whole.init, s.init_segment());
      ASSERT_EQ(stream.size(), s.position());
    }
  }
}

TEST(FeedSegmenter, WebmAnySplitGivesTheSameEvents) {
  expect_any_split_same(FeedContainer::WebM, webm_stream());
}

TEST(FeedSegmenter, InitIsIncompleteUntilTheFirstCluster) {
  FeedSegmenter s(FeedContainer::WebM);
  std::vector<FeedEvent> events;
  const std::string head = webm_head();
  ASSERT_TRUE(s.push(head, events).ok());
  EXPECT_FALSE(s.init_complete());
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(s.push(CLUSTER_AUDIO_FIRST.substr(0, 3), events).ok());
  EXPECT_FALSE(s.init_complete());
  ASSERT_TRUE(s.push(CLUSTER_AUDIO_FIRST.substr(3), events).ok());
  EXPECT_TRUE(s.init_complete());
  EXPECT_EQ(head, s.init_segment());
}

TEST(FeedSegmenter, AFeedWithoutVideoJoinsAtAnyCluster) {
  const std::string head = webm_head(track(1, 2));
  const Parsed p = parse(FeedContainer::WebM, head + unknown(CLUSTER) + simple(1, false));
  EXPECT_EQ("F" + at(head.size()) + "* ", summary(p.events));
}

TEST(FeedSegmenter, ARepeatedHeadStartsANewStream) {
  const std::string first = webm_head() + CLUSTER_AUDIO_FIRST;
  // The second head declares the tracks the other way round.
  const std::string head2 = webm_head(track(1, 2) + track(2, 1));
  const std::string stream = first + head2 + CLUSTER_NON_KEY;
  const Parsed p = parse(FeedContainer::WebM, stream);
  EXPECT_EQ("F" + at(webm_head().size()) + " K S" + at(first.size()) + " F" +
                at(first.size() + head2.size()) + " K ",
            summary(p.events));
  EXPECT_EQ(head2, p.init);
}

TEST(FeedSegmenter, KnownSizeSegmentEndsWhereItSays) {
  const std::string tracks = el(TRACKS, track(1, 1));
  const std::string first = el(EBML, "") + ebml_id(SEGMENT) +
                            ebml_size(tracks.size() + el(CLUSTER, simple(1, true)).size()) + tracks;
  const std::string stream = first + el(CLUSTER, simple(1, true)) + el(EBML, "") +
                             el(SEGMENT, el(CLUSTER, simple(1, true)));
  const size_t second = first.size() + el(CLUSTER, simple(1, true)).size();
  const size_t second_cluster = second + el(EBML, "").size() + 4 + 1;
  const Parsed p = parse(FeedContainer::WebM, stream);
  EXPECT_EQ("F" + at(first.size()) + " K S" + at(second) + " F" + at(second_cluster) + "* ",
            summary(p.events));
}

TEST(FeedSegmenter, RefusesMalformedFeeds) {
  struct Case {
    FeedContainer container;
    std::string stream;
    std::string error;
  };
  const Case cases[] = {
      {FeedContainer::WebM, el(SEGMENT, ""), "feed does not begin with an EBML header"},
      {FeedContainer::WebM, webm_head() + std::string(1, '\0'), "invalid EBML element ID"},
      {FeedContainer::WebM, webm_head() + "\x1F\x43\xB6\x75" + std::string(1, '\0'),
       "invalid EBML element size"},
      {FeedContainer::WebM, webm_head() + unknown(INFO), "EBML element of unknown size"},
      {FeedContainer::WebM, el(EBML, "") + el(SEGMENT, el(TRACKS, "") + "\xAE\x85"),
       "EBML element overruns its parent"},
      {FeedContainer::WebM, webm_head() + el(VOID, std::string(FEED_INIT_LIMIT, 'v')),
       "feed head too large"},
      {FeedContainer::Mp4, be(8, 4) + "moov", "feed does not begin with an ftyp box"},
      {FeedContainer::Mp4, be(8, 4) + "ftyp" + be(4, 4) + "free", "MP4 box too small"},
      {FeedContainer::Mp4, be(8, 4) + "ftyp" + be(0, 4) + "moof", "MP4 box of unbounded size"},
      {FeedContainer::Mp4, be(8, 4) + "ftyp" + be(FEED_MOOF_LIMIT + 9, 4) + "moof",
       "MP4 moof box too large"},
  };
  for (const Case& c : cases) {
    FeedSegmenter s(c.container);
    std::vector<FeedEvent> events;
    const Status status = s.push(c.stream, events);
    ASSERT_FALSE(status.ok()) << c.error;
    EXPECT_EQ(c.error, status.error().message());
    EXPECT_TRUE(s.failed());
    const Status again = s.push("more", events);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(c.error, again.error().message());
    // Still where the next chunk starts, for the gates that follow the feed.
    EXPECT_EQ(c.stream.size() + 4, s.position());
  }
}

// ---- Handmade MP4 ----

std::string box(const std::string& type, const std::string& payload) {
  return be(8 + payload.size(), 4) + type + payload;
}
std::string full(uint32_t version_flags, const std::string& rest) {
  return be(version_flags, 4) + rest;
}

std::string trak(uint32_t id, const std::string& handler) {
  return box("trak",
             box("tkhd", full(0, be(0, 4) + be(0, 4) + be(id, 4) + std::string(60, '\0'))) +
                 box("mdia", box("mdhd", full(0, std::string(20, '\0'))) +
                                 box("hdlr", full(0, be(0, 4) + handler + std::string(12, '\0')))));
}

constexpr uint32_t NON_SYNC = 0x00010000;

std::string mp4_head(std::optional<uint32_t> trex_flags) {
  std::string mvex;
  if (trex_flags) {
    mvex = box("mvex", box("trex", full(0, be(2, 4) + be(1, 4) + be(0, 4) + be(0, 4) + be(0, 4))) +
                           box("trex", full(0, be(1, 4) + be(1, 4) + be(0, 4) + be(0, 4) +
                                                   be(*trex_flags, 4))));
  }
  return box("ftyp", "isom" + be(512, 4) + "isomiso6") +
         box("moov", box("mvhd", full(0, std::string(96, '\0'))) + trak(2, "soun") +
                         trak(1, "vide") + mvex);
}

// A fragment with an audio traf first, then the video traf with the given
// tfhd and trun.
std::string fragment(const std::string& tfhd, const std::string& trun) {
  return box("moof", box("mfhd", full(0, be(1, 4))) +
                         box("traf", box("tfhd", full(0x20000, be(2, 4))) +
                                         box("trun", full(0, be(3, 4)))) +
                         box("traf", tfhd + trun)) +
         box("mdat", "samples");
}

std::string tfhd(uint32_t flags, std::optional<uint32_t> default_flags = std::nullopt) {
  std::string rest = be(1, 4);
  if (flags & 0x8) {
    rest += be(512, 4);
  }
  if (default_flags) {
    rest += be(*default_flags, 4);
  }
  return box("tfhd", full(flags | (default_flags ? 0x20 : 0), rest));
}

std::string trun(uint32_t flags, std::optional<uint32_t> first, std::optional<uint32_t> sample) {
  std::string rest = be(2, 4) + be(100, 4);  // sample count, data offset
  if (first) {
    rest += be(*first, 4);
  }
  for (int i = 0; i < 2; ++i) {
    rest += be(33, 4);  // duration
    if (sample) {
      rest += be(i == 0 ? *sample : NON_SYNC, 4);
    }
  }
  return box("trun", full(0x1 | 0x100 | flags | (first ? 0x4 : 0) | (sample ? 0x400 : 0), rest));
}

TEST(FeedSegmenter, Mp4FirstVideoSampleFlagsDecideTheKeyframe) {
  struct Case {
    const char* name;
    std::optional<uint32_t> trex;
    std::string frag;
    bool key;
  };
  const Case cases[] = {
      {"first sample flags", NON_SYNC, fragment(tfhd(0x8, NON_SYNC), trun(0, 0, std::nullopt)),
       true},
      {"first sample non-sync", std::nullopt, fragment(tfhd(0), trun(0, NON_SYNC, std::nullopt)),
       false},
      {"per-sample flags", NON_SYNC, fragment(tfhd(0, NON_SYNC), trun(0, std::nullopt, 0)), true},
      {"per-sample non-sync", std::nullopt, fragment(tfhd(0), trun(0, 0, NON_SYNC)), false},
      {"tfhd default", 0, fragment(tfhd(0x8, NON_SYNC), trun(0, std::nullopt, std::nullopt)),
       false},
      {"trex default", NON_SYNC, fragment(tfhd(0), trun(0, std::nullopt, std::nullopt)), false},
      {"trex sync", 0, fragment(tfhd(0), trun(0, std::nullopt, std::nullopt)), true},
      {"no flags anywhere", std::nullopt, fragment(tfhd(0), trun(0, std::nullopt, std::nullopt)),
       true},
  };
  for (const Case& c : cases) {
    const std::string head = mp4_head(c.trex);
    const Parsed p = parse(FeedContainer::Mp4, head + c.frag + c.frag);
    const std::string frame = c.key ? "K " : "k ";
    EXPECT_EQ(
        "F" + at(head.size()) + " " + frame + "F" + at(head.size() + c.frag.size()) + " " + frame,
        summary(p.events))
        << c.name;
    EXPECT_EQ(head, p.init) << c.name;
  }
}

TEST(FeedSegmenter, Mp4AnySplitGivesTheSameEvents) {
  const std::string head = mp4_head(NON_SYNC);
  const std::string f1 = fragment(tfhd(0), trun(0, NON_SYNC, std::nullopt)) + box("free", "");
  const std::string f2 = fragment(tfhd(0), trun(0, 0, std::nullopt));
  // A new stream whose moov names no video track, a moof with a 64-bit
  // size, and an mdat that runs to the end.
  const std::string head2 = box("ftyp", "isom") + box("moov", "");
  const std::string stream = head + f1 + f2 + head2 + be(1, 4) + "moof" + be(16, 8) + be(0, 4) +
                             "mdat" + "runs to the end";
  const size_t s2 = head.size() + f1.size() + f2.size();
  const Parsed p = parse(FeedContainer::Mp4, stream);
  EXPECT_EQ("F" + at(head.size()) + " k F" + at(head.size() + f1.size()) + " K S" + at(s2) + " F" +
                at(s2 + head2.size()) + "* ",
            summary(p.events));
  EXPECT_EQ(head2, p.init);
  expect_any_split_same(FeedContainer::Mp4, stream);
}

TEST(FeedSegmenter, Mp4WithoutVideoJoinsAtAnyFragment) {
  const std::string head = box("ftyp", "isom") + box("moov", trak(2, "soun"));
  const Parsed p = parse(FeedContainer::Mp4, head + box("moof", "") + box("mdat", ""));
  EXPECT_EQ("F" + at(head.size()) + "* ", summary(p.events));
}

// ---- FeedJoin ----

// Feeds `stream` in chunks cut at `cuts`, the join starting at chunk
// `from`; returns what the join let through.
std::string join_output(FeedContainer c, const std::string& stream, const std::vector<size_t>& cuts,
                        size_t from, bool* joined = nullptr) {
  FeedSegmenter s(c);
  FeedJoin join;
  std::string out;
  size_t begin = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t k = 0; k < ends.size(); ++k) {
    const auto chunk = std::make_shared<const std::string>(stream.substr(begin, ends[k] - begin));
    const uint64_t position = s.position();
    std::vector<FeedEvent> events;
    EXPECT_TRUE(s.push(*chunk, events).ok());
    if (k >= from) {
      for (const SharedBytes& piece : join.admit(chunk, position, events, s.init_segment())) {
        out += *piece;
      }
    }
    begin = ends[k];
  }
  if (joined) {
    *joined = join.joined();
  }
  return out;
}

TEST(FeedJoin, StartsAtTheFirstClusterThatOpensWithAKeyframe) {
  const std::string head = webm_head();
  const std::string stream = webm_stream();
  const size_t c2 = head.size() + CLUSTER_AUDIO_FIRST.size();
  const size_t c4 = c2 + CLUSTER_NON_KEY.size() + CLUSTER_KNOWN.size();
  struct Case {
    size_t join_from;  // the first byte the new encoder could see
    std::string expected;
  };
  const Case cases[] = {
      {0, stream},  // from the start: the head, then the first cluster, which opens with audio
      {head.size() + 1, head + stream.substr(c4)},  // past the first cluster's start
      {c2, head + stream.substr(c4)},  // the next two clusters open with non-key frames
  };
  for (const Case& c : cases) {
    // The new encoder's first chunk starts at `join_from`; every second cut
    // after it.
    for (size_t cut = c.join_from + 1; cut < stream.size(); ++cut) {
      std::vector<size_t> cuts{cut};
      if (c.join_from > 0) {
        cuts.insert(cuts.begin(), c.join_from);
      }
      bool joined = false;
      EXPECT_EQ(c.expected,
                join_output(FeedContainer::WebM, stream, cuts, c.join_from > 0 ? 1 : 0, &joined))
          << c.join_from << " cut " << cut;
      EXPECT_TRUE(joined);
    }
  }
}

TEST(FeedJoin, EveryByteSplitGivesTheSameJoin) {
  const std::string stream = webm_stream();
  const std::string head = webm_head();
  const size_t c2 = head.size() + CLUSTER_AUDIO_FIRST.size();
  const size_t c4 = c2 + CLUSTER_NON_KEY.size() + CLUSTER_KNOWN.size();
  // The feed fed one byte at a time from the second cluster on.
  std::vector<size_t> cuts;
  for (size_t i = c2; i < stream.size(); ++i) {
    cuts.push_back(i);
  }
  EXPECT_EQ(head + stream.substr(c4), join_output(FeedContainer::WebM, stream, cuts, 1));
}

TEST(FeedJoin, PassesChunksWholeOnceJoined) {
  const std::string stream = webm_stream();
  FeedSegmenter s(FeedContainer::WebM);
  FeedJoin join;
  std::vector<FeedEvent> events;
  const size_t cut = webm_head().size() + CLUSTER_AUDIO_FIRST.size();
  const auto first = std::make_shared<const std::string>(stream.substr(0, cut));
  ASSERT_TRUE(s.push(*first, events).ok());
  const std::vector<SharedBytes> opening = join.admit(first, 0, events, s.init_segment());
  ASSERT_TRUE(join.joined());
  ASSERT_EQ(2u, opening.size());
  EXPECT_EQ(webm_head(), *opening[0]);
  const auto second = std::make_shared<const std::string>(stream.substr(cut));
  events.clear();
  ASSERT_TRUE(s.push(*second, events).ok());
  const std::vector<SharedBytes> rest = join.admit(second, cut, events, s.init_segment());
  ASSERT_EQ(1u, rest.size());
  EXPECT_EQ(second.get(), rest[0].get());
}

TEST(FeedJoin, GivesUpAFragmentPastTheHoldLimit) {
  // A cluster whose first video frame comes after more than the limit.
  const std::string big =
      unknown(CLUSTER) + el(VOID, std::string(FEED_JOIN_HOLD_LIMIT, 'x')) + simple(1, true);
  const std::string next = unknown(CLUSTER) + simple(1, true);
  const std::string stream = webm_head() + big + next;
  std::vector<size_t> cuts;
  for (size_t i = webm_head().size(); i < stream.size(); i += 1 << 20) {
    cuts.push_back(i);
  }
  const std::string out = join_output(FeedContainer::WebM, stream, cuts, 1);
  EXPECT_EQ(webm_head().size() + next.size(), out.size());
  EXPECT_TRUE(out == webm_head() + next);
}

// ---- FeedRewind ----

// The rewind's history after the feed was pushed in the chunks cut at `cuts`
// and up to `upto` bytes.
std::string history_after(const std::string& stream, size_t upto, const std::vector<size_t>& cuts) {
  FeedSegmenter s(FeedContainer::WebM);
  FeedRewind rewind;
  size_t begin = 0;
  std::vector<size_t> ends;
  for (size_t c : cuts) {
    if (c < upto) {
      ends.push_back(c);
    }
  }
  ends.push_back(upto);
  for (size_t end : ends) {
    const std::string chunk = stream.substr(begin, end - begin);
    const uint64_t position = s.position();
    std::vector<FeedEvent> events;
    EXPECT_TRUE(s.push(chunk, events).ok());
    rewind.observe(chunk, position, events);
    begin = end;
  }
  return rewind.history();
}

TEST(FeedRewind, HoldsTheFeedFromTheLatestKeyframeCluster) {
  const std::string stream = webm_stream();
  const size_t c1 = webm_head().size();
  const size_t c2 = c1 + CLUSTER_AUDIO_FIRST.size();
  const size_t c3 = c2 + CLUSTER_NON_KEY.size();
  const size_t c4 = c3 + CLUSTER_KNOWN.size();
  struct Case {
    size_t upto;
    std::string history;
  };
  const Case cases[] = {
      {c1, ""},                                  // the head only
      {c1 + 5, ""},                              // a cluster not yet judged
      {c2, stream.substr(c1, c2 - c1)},          // the first cluster, which opens with a key
      {c3 + 3, stream.substr(c1, c3 + 3 - c1)},  // non-key clusters extend it
      {c4, stream.substr(c1, c4 - c1)},          //
      {stream.size(), stream.substr(c4)},        // the last cluster opens with a key
  };
  for (const Case& c : cases) {
    // Whole, and cut at every byte.
    EXPECT_EQ(c.history, history_after(stream, c.upto, {})) << c.upto;
    std::vector<size_t> every;
    for (size_t i = 1; i < c.upto; ++i) {
      every.push_back(i);
    }
    EXPECT_EQ(c.history, history_after(stream, c.upto, every)) << c.upto;
  }
}

TEST(FeedRewind, ForgetsAnOldStreamAndAnOverlongHistory) {
  const std::string restarted = webm_stream() + webm_head() + CLUSTER_NON_KEY;
  EXPECT_EQ("", history_after(restarted, restarted.size(), {}));
  const std::string again = restarted + CLUSTER_AUDIO_FIRST;
  EXPECT_EQ(CLUSTER_AUDIO_FIRST, history_after(again, again.size(), {}));

  const std::string big =
      webm_head() + CLUSTER_AUDIO_FIRST + el(VOID, std::string(FEED_JOIN_HOLD_LIMIT, 'x'));
  std::vector<size_t> cuts;
  for (size_t i = webm_head().size(); i < big.size(); i += 1 << 20) {
    cuts.push_back(i);
  }
  EXPECT_TRUE(history_after(big, big.size(), cuts).empty());
}

// ---- Real encoder output ----

struct RealFeed {
  FeedContainer container;
  const char* name;
  std::vector<std::string> codec;
};

std::string make_feed(const wf::testing::TempDir& dir, const RealFeed& feed) {
  const std::string path = dir.file(feed.name);
  std::string command =
      "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=30 -f lavfi -i "
      "sine=frequency=440:sample_rate=48000 -t 4 -g 30";
  for (const std::string& arg : feed.codec) {
    command += " " + arg;
  }
  // Through a pipe, as a live recorder writes: sizes unknown, no seeking.
  command += " - > " + path;
  wf::testing::ExitStatus status;
  wf::testing::runCommand({"sh", "-c", command}, &status);
  EXPECT_TRUE(status.exited && status.code == 0) << command;
  return wf::testing::readFile(path);
}

// What an encoder started before chunk `from` is given when it starts from
// the rewind's history: the init segment, the history, then every chunk.
std::string rewound_output(FeedContainer c, const std::string& stream,
                           const std::vector<size_t>& cuts, size_t from) {
  FeedSegmenter s(c);
  FeedRewind rewind;
  std::string out;
  size_t begin = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t k = 0; k < ends.size(); ++k) {
    if (k == from) {
      if (rewind.history().empty()) {
        return "";  // nothing to start from: such an encoder waits as FeedJoin does
      }
      out = s.init_segment() + rewind.history();
    }
    const std::string chunk = stream.substr(begin, ends[k] - begin);
    const uint64_t position = s.position();
    std::vector<FeedEvent> events;
    EXPECT_TRUE(s.push(chunk, events).ok());
    rewind.observe(chunk, position, events);
    if (k >= from) {
      out += chunk;
    }
    begin = ends[k];
  }
  return out;
}

// A decoder that starts on the joined feed, or on the rewound one, decodes
// it without a complaint,
// for a join that begins at every 1/8 of the feed.
TEST(FeedJoin, RealFeedsJoinedMidStreamDecodeCleanly) {
  // libvpx picks its real-time speed from how long frames took unless the
  // speed is given as negative, so only a fixed speed makes the same stream
  // (and the same clusters) on a loaded machine.
  const RealFeed feeds[] = {
      {FeedContainer::WebM,
       "feed.webm",
       {"-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "-8", "-c:a", "libopus",
        "-cluster_time_limit", "150", "-f", "webm"}},
      {FeedContainer::Mp4,
       "feed.mp4",
       {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags",
        "frag_keyframe+empty_moov+default_base_moof", "-f", "mp4"}},
  };
  wf::testing::TempDir dir;
  for (const RealFeed& feed : feeds) {
    const std::string stream = make_feed(dir, feed);
    ASSERT_GT(stream.size(), 10000u) << feed.name;
    const Parsed whole = parse(feed.container, stream);
    size_t keys = 0, non_keys = 0;
    for (size_t i = 0; i + 1 < whole.events.size(); ++i) {
      if (whole.events[i].kind == FeedEvent::Kind::FragmentStart &&
          whole.events[i + 1].kind == FeedEvent::Kind::VideoFrame) {
        (whole.events[i + 1].key ? keys : non_keys)++;
      }
    }
    EXPECT_GE(keys, 3u) << feed.name;
    if (feed.container == FeedContainer::WebM) {
      EXPECT_GE(non_keys, 3u) << "clusters that open with a non-key frame";
    }
    for (size_t eighth = 1; eighth < 8; ++eighth) {
      std::vector<size_t> cuts;
      for (size_t i = 4096; i < stream.size(); i += 4096) {
        cuts.push_back(i);
      }
      const size_t from = eighth * cuts.size() / 8;
      bool joined = false;
      const std::string out = join_output(feed.container, stream, cuts, from, &joined);
      if (!joined) {
        continue;  // the last key fragment came before the join
      }
      const std::string path = dir.write(std::string("joined-") + feed.name, out);
      const std::string rewound_bytes = rewound_output(feed.container, stream, cuts, from);
      EXPECT_FALSE(rewound_bytes.empty()) << feed.name << " has no history at chunk " << from;
      const std::string rewound = dir.write(std::string("rewound-") + feed.name, rewound_bytes);
      wf::testing::ExitStatus status;
      const std::string errors = wf::testing::runCommand(
          {"sh", "-c", "ffmpeg -nostdin -v warning -i '" + path + "' -f null - 2>&1"}, &status);
      EXPECT_TRUE(status.exited && status.code == 0) << feed.name << " from chunk " << from;
      EXPECT_EQ("", errors) << feed.name << " from chunk " << from;
      const std::string rewound_errors = wf::testing::runCommand(
          {"sh", "-c", "ffmpeg -nostdin -v warning -i '" + rewound + "' -f null - 2>&1"}, &status);
      EXPECT_TRUE(status.exited && status.code == 0) << feed.name << " rewound at chunk " << from;
      EXPECT_EQ("", rewound_errors) << feed.name << " rewound at chunk " << from;
    }
  }
}

}  // namespace
}  // namespace wf::bridge
