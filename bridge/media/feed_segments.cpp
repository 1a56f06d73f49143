#include "bridge/media/feed_segments.h"

#include <algorithm>
#include <array>

namespace wf::bridge {
namespace {

// EBML and Matroska element IDs, with their length markers, as they stand
// in the stream.
constexpr uint32_t EBML = 0x1A45DFA3;
constexpr uint32_t SEGMENT = 0x18538067;
constexpr uint32_t CLUSTER = 0x1F43B675;
constexpr uint32_t TRACKS = 0x1654AE6B;
constexpr uint32_t TRACK_ENTRY = 0xAE;
constexpr uint32_t TRACK_NUMBER = 0xD7;
constexpr uint32_t TRACK_TYPE = 0x83;
constexpr uint32_t SIMPLE_BLOCK = 0xA3;
constexpr uint32_t BLOCK_GROUP = 0xA0;
constexpr uint32_t BLOCK = 0xA1;
constexpr uint32_t REFERENCE_BLOCK = 0xFB;
constexpr uint32_t VOID = 0xEC;
constexpr uint32_t CRC32 = 0xBF;

constexpr std::array<uint32_t, 8> SEGMENT_CHILDREN = {0x114D9B74 /* SeekHead */,
                                                      0x1549A966 /* Info */,
                                                      TRACKS,
                                                      0x1C53BB6B /* Cues */,
                                                      0x1043A770 /* Chapters */,
                                                      0x1254C367 /* Tags */,
                                                      0x1941A469 /* Attachments */,
                                                      CLUSTER};
constexpr std::array<uint32_t, 7> CLUSTER_CHILDREN = {0xE7 /* Timestamp */,
                                                      0xA7 /* Position */,
                                                      0xAB /* PrevSize */,
                                                      SIMPLE_BLOCK,
                                                      BLOCK_GROUP,
                                                      0xAF /* EncryptedBlock */,
                                                      0x5854 /* SilentTracks */};

constexpr uint64_t TRACK_TYPE_VIDEO = 1;
constexpr uint64_t SIMPLE_BLOCK_KEY = 0x80;
// A block's head: track number (at most 8 bytes), timecode (2), flags (1).
constexpr size_t BLOCK_HEAD = 11;

// Where an element of an unknown size ends: at the first element that
// cannot be its child. Only Segments and Clusters may have an unknown size.
bool can_contain(uint32_t parent, uint32_t id) {
  if (id == VOID || id == CRC32) {
    return true;
  }
  const auto has = [id](const auto& ids) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  };
  switch (parent) {
    case SEGMENT:
      return has(SEGMENT_CHILDREN);
    case CLUSTER:
      return has(CLUSTER_CHILDREN);
    default:
      return false;
  }
}

uint64_t be(std::string_view bytes) {
  uint64_t v = 0;
  for (const char c : bytes) {
    v = (v << 8) | static_cast<unsigned char>(c);
  }
  return v;
}

// The length of an EBML variable-size integer from its first byte; 0 when
// the byte starts none (more than 8 leading zero bits).
size_t vint_length(unsigned char first) {
  for (size_t n = 1; n <= 8; ++n) {
    if (first & (0x80u >> (n - 1))) {
      return n;
    }
  }
  return 0;
}

// An EBML variable-size integer's value without its length marker.
uint64_t vint_value(std::string_view bytes) {
  const uint64_t raw = be(bytes);
  const size_t n = bytes.size();
  return raw & ((uint64_t{1} << (7 * n)) - 1);
}

// One MP4 box inside a buffer: its type and payload.
struct Box {
  std::string_view type;
  std::string_view payload;
};

// The boxes that follow each other in `bytes`; stops at the first one that
// does not fit.
std::vector<Box> boxes_in(std::string_view bytes) {
  std::vector<Box> out;
  while (bytes.size() >= 8) {
    uint64_t size = be(bytes.substr(0, 4));
    size_t head = 8;
    if (size == 1) {
      if (bytes.size() < 16) {
        break;
      }
      size = be(bytes.substr(8, 8));
      head = 16;
    } else if (size == 0) {
      size = bytes.size();
    }
    if (size < head || size > bytes.size()) {
      break;
    }
    out.push_back(Box{bytes.substr(4, 4), bytes.substr(head, size - head)});
    bytes.remove_prefix(size);
  }
  return out;
}

const Box* find_box(const std::vector<Box>& boxes, std::string_view type) {
  for (const Box& b : boxes) {
    if (b.type == type) {
      return &b;
    }
  }
  return nullptr;
}

constexpr uint32_t SAMPLE_NON_SYNC = 0x00010000;
// What an MP4 body being kept is, in place of an element ID.
constexpr uint32_t KEPT_MOOV = 1;
constexpr uint32_t KEPT_MOOF = 2;
constexpr uint64_t UNKNOWN_END = ~uint64_t{0};

}  // namespace

FeedSegmenter::FeedSegmenter(FeedContainer container) : container_(container) {}

Status FeedSegmenter::fail(std::string message) {
  failed_ = Error(std::move(message));
  body_.clear();
  header_.clear();
  return *failed_;
}

Status FeedSegmenter::keep_init(std::string_view bytes) {
  if (stream_seen_ && !init_complete_) {
    if (init_.size() + bytes.size() > FEED_INIT_LIMIT) {
      return fail("feed head too large");
    }
    init_.append(bytes);
  }
  return {};
}

Status FeedSegmenter::push(std::string_view chunk, std::vector<FeedEvent>& out) {
  pushed_ += chunk.size();
  if (failed_) {
    return *failed_;
  }
  while (!chunk.empty()) {
    if (skip_forever_) {
      if (auto s = keep_init(chunk); !s) {
        return s;
      }
      position_ += chunk.size();
      return {};
    }
    if (keep_ > 0 || skip_ > 0) {
      const bool keeping = keep_ > 0;
      const uint64_t want = keeping ? keep_ : skip_;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(want, chunk.size()));
      if (auto s = keep_init(chunk.substr(0, n)); !s) {
        return s;
      }
      if (keeping) {
        body_.append(chunk.substr(0, n));
        keep_ -= n;
      } else {
        skip_ -= n;
      }
      position_ += n;
      chunk.remove_prefix(n);
      if (keeping && keep_ == 0) {
        if (container_ == FeedContainer::WebM) {
          webm_value(out);
        } else {
          mp4_value(out);
        }
        body_.clear();
      }
      if (keep_ == 0 && skip_ == 0) {
        if (auto s = close_ended(out); !s) {
          return s;
        }
      }
      continue;
    }
    if (header_.empty()) {
      header_start_ = position_;
    }
    const char byte = chunk.front();
    chunk.remove_prefix(1);
    ++position_;
    if (auto s = take_header_byte(byte, out); !s) {
      return s;
    }
  }
  return {};
}

Status FeedSegmenter::take_header_byte(char byte, std::vector<FeedEvent>& out) {
  header_.push_back(byte);
  if (auto s = keep_init(std::string_view(&byte, 1)); !s) {
    return s;
  }
  return container_ == FeedContainer::WebM ? webm_header(out) : mp4_header(out);
}

Status FeedSegmenter::close_ended(std::vector<FeedEvent>& out) {
  while (!open_.empty() && open_.back().end == position_) {
    const Element e = open_.back();
    open_.pop_back();
    webm_close(e, out);
  }
  return {};
}

void FeedSegmenter::begin_stream(std::vector<FeedEvent>& out) {
  if (stream_seen_) {
    out.push_back({FeedEvent::Kind::StreamStart, header_start_, false});
  }
  stream_seen_ = true;
  stream_start_ = header_start_;
  init_ = header_;
  init_complete_ = false;
  video_tracks_.clear();
  has_video_track_ = false;
  video_track_id_ = 0;
  trex_video_flags_.reset();
}

void FeedSegmenter::begin_fragment(std::vector<FeedEvent>& out) {
  if (!init_complete_) {
    init_complete_ = true;
    init_.resize(static_cast<size_t>(header_start_ - stream_start_));
  }
  const bool any = container_ == FeedContainer::WebM ? video_tracks_.empty() : !has_video_track_;
  out.push_back({FeedEvent::Kind::FragmentStart, header_start_, any});
}

bool FeedSegmenter::is_video_track(uint64_t track) const {
  return std::find(video_tracks_.begin(), video_tracks_.end(), track) != video_tracks_.end();
}

// ---- WebM ----

Status FeedSegmenter::webm_header(std::vector<FeedEvent>& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(header_.data());
  const size_t id_length = vint_length(p[0]);
  if (id_length == 0 || id_length > 4) {
    return fail("invalid EBML element ID");
  }
  if (header_.size() <= id_length) {
    return {};
  }
  const size_t size_length = vint_length(p[id_length]);
  if (size_length == 0) {
    return fail("invalid EBML element size");
  }
  if (header_.size() < id_length + size_length) {
    return {};
  }
  const auto id = static_cast<uint32_t>(be(std::string_view(header_).substr(0, id_length)));
  const uint64_t size = vint_value(std::string_view(header_).substr(id_length, size_length));
  const bool unknown = size == (uint64_t{1} << (7 * size_length)) - 1;
  const Status s = webm_element(id, size, unknown, out);
  header_.clear();
  return s;
}

Status FeedSegmenter::webm_element(uint32_t id, uint64_t size, bool unknown,
                                   std::vector<FeedEvent>& out) {
  // An element that cannot be a child ends every open unknown-size element
  // it cannot stand in.
  while (!open_.empty() && open_.back().unknown && !can_contain(open_.back().id, id)) {
    const Element e = open_.back();
    open_.pop_back();
    webm_close(e, out);
  }
  const uint32_t parent = open_.empty() ? 0 : open_.back().id;
  const uint64_t limit = open_.empty() ? UNKNOWN_END : open_.back().end;
  if (unknown && id != SEGMENT && id != CLUSTER) {
    return fail("EBML element of unknown size");
  }
  if (!unknown && (size > limit || position_ > limit - size)) {
    return fail("EBML element overruns its parent");
  }
  const uint64_t end = unknown ? limit : position_ + size;

  if (!stream_seen_ && id != EBML) {
    return fail("feed does not begin with an EBML header");
  }
  const auto open = [&] {
    open_.push_back(Element{id, end, unknown});
    return close_ended(out);
  };
  const auto keep = [&](uint64_t n) {
    body_id_ = id;
    keep_ = std::min(n, size);
    skip_ = size - keep_;
    if (size == 0) {
      webm_value(out);
      return close_ended(out);
    }
    return Status{};
  };
  if (open_.empty()) {
    if (id == EBML) {
      begin_stream(out);
    } else if (id == SEGMENT) {
      return open();
    }
  } else if (parent == SEGMENT && id == CLUSTER) {
    begin_fragment(out);
    return open();
  } else if (parent == SEGMENT && id == TRACKS) {
    video_tracks_.clear();
    return open();
  } else if (parent == TRACKS && id == TRACK_ENTRY) {
    entry_number_ = 0;
    entry_type_ = 0;
    return open();
  } else if (parent == TRACK_ENTRY && (id == TRACK_NUMBER || id == TRACK_TYPE) && size <= 8) {
    return keep(size);
  } else if (parent == CLUSTER && id == SIMPLE_BLOCK) {
    return keep(BLOCK_HEAD);
  } else if (parent == CLUSTER && id == BLOCK_GROUP) {
    group_block_ = false;
    group_video_ = false;
    group_referenced_ = false;
    return open();
  } else if (parent == BLOCK_GROUP && id == BLOCK) {
    return keep(BLOCK_HEAD);
  } else if (parent == BLOCK_GROUP && id == REFERENCE_BLOCK) {
    group_referenced_ = true;
  }
  if (unknown) {
    return fail("EBML element of unknown size");
  }
  skip_ = size;
  return size == 0 ? close_ended(out) : Status{};
}

void FeedSegmenter::webm_value(std::vector<FeedEvent>& out) {
  switch (body_id_) {
    case TRACK_NUMBER:
      entry_number_ = be(body_);
      return;
    case TRACK_TYPE:
      entry_type_ = be(body_);
      return;
    case SIMPLE_BLOCK:
    case BLOCK: {
      if (body_.empty()) {
        return;
      }
      const size_t n = vint_length(static_cast<unsigned char>(body_[0]));
      if (n == 0 || body_.size() < n + 3) {
        return;  // too short to be a block: not a frame
      }
      const bool video = is_video_track(vint_value(std::string_view(body_).substr(0, n)));
      if (body_id_ == BLOCK) {
        group_block_ = true;
        group_video_ = video;
      } else if (video) {
        const bool key = static_cast<unsigned char>(body_[n + 2]) & SIMPLE_BLOCK_KEY;
        out.push_back({FeedEvent::Kind::VideoFrame, position_, key});
      }
      return;
    }
    default:
      return;
  }
}

void FeedSegmenter::webm_close(const Element& e, std::vector<FeedEvent>& out) {
  if (e.id == TRACK_ENTRY && entry_type_ == TRACK_TYPE_VIDEO && entry_number_ != 0) {
    video_tracks_.push_back(entry_number_);
  } else if (e.id == BLOCK_GROUP && group_block_ && group_video_) {
    // A Block needs no other frame to decode when nothing references one.
    out.push_back({FeedEvent::Kind::VideoFrame, position_, !group_referenced_});
  }
}

// ---- MP4 ----

Status FeedSegmenter::mp4_header(std::vector<FeedEvent>& out) {
  if (header_.size() < 8) {
    return {};
  }
  uint64_t size = be(std::string_view(header_).substr(0, 4));
  size_t head = 8;
  if (size == 1) {
    if (header_.size() < 16) {
      return {};
    }
    size = be(std::string_view(header_).substr(8, 8));
    head = 16;
  }
  const std::string type = header_.substr(4, 4);
  if (!stream_seen_ && type != "ftyp") {
    return fail("feed does not begin with an ftyp box");
  }
  if (size == 0) {
    // A box that runs to the end of the feed: nothing follows it.
    if (type == "moov" || type == "moof") {
      return fail("MP4 box of unbounded size");
    }
    header_.clear();
    skip_forever_ = true;
    return {};
  }
  if (size < head) {
    return fail("MP4 box too small");
  }
  const uint64_t body = size - head;
  if (type == "ftyp") {
    begin_stream(out);
  } else if (type == "moov" || type == "moof") {
    if (type == "moof") {
      begin_fragment(out);
    }
    if (body > (type == "moov" ? FEED_INIT_LIMIT : FEED_MOOF_LIMIT)) {
      return fail("MP4 " + type + " box too large");
    }
    body_id_ = type == "moov" ? KEPT_MOOV : KEPT_MOOF;
    keep_ = body;
  }
  if (keep_ == 0) {
    skip_ = body;
  }
  header_.clear();
  if (keep_ == 0 && skip_ == 0 && body_id_ != 0) {
    mp4_value(out);
  }
  return {};
}

void FeedSegmenter::mp4_value(std::vector<FeedEvent>& out) {
  if (body_id_ == KEPT_MOOV) {
    mp4_moov(body_);
  } else if (body_id_ == KEPT_MOOF) {
    mp4_moof(out);
  }
  body_id_ = 0;
}

void FeedSegmenter::mp4_moov(std::string_view body) {
  const std::vector<Box> moov = boxes_in(body);
  std::vector<std::pair<uint32_t, uint32_t>> trex;  // track ID, default sample flags
  for (const Box& box : moov) {
    if (box.type == "trak" && !has_video_track_) {
      const std::vector<Box> trak = boxes_in(box.payload);
      const Box* tkhd = find_box(trak, "tkhd");
      const Box* mdia = find_box(trak, "mdia");
      if (!tkhd || !mdia || tkhd->payload.empty()) {
        continue;
      }
      // tkhd: version and flags, two times (4 or 8 bytes each), track ID.
      const size_t id_at = tkhd->payload[0] == 1 ? 20 : 12;
      if (tkhd->payload.size() < id_at + 4) {
        continue;
      }
      const std::vector<Box> media = boxes_in(mdia->payload);
      const Box* hdlr = find_box(media, "hdlr");
      // hdlr: version and flags, pre_defined, handler type.
      if (hdlr && hdlr->payload.size() >= 12 && hdlr->payload.substr(8, 4) == "vide") {
        has_video_track_ = true;
        video_track_id_ = static_cast<uint32_t>(be(tkhd->payload.substr(id_at, 4)));
      }
    } else if (box.type == "mvex") {
      for (const Box& t : boxes_in(box.payload)) {
        // trex: version and flags, track ID, description index, duration,
        // size, flags.
        if (t.type == "trex" && t.payload.size() >= 24) {
          trex.emplace_back(static_cast<uint32_t>(be(t.payload.substr(4, 4))),
                            static_cast<uint32_t>(be(t.payload.substr(20, 4))));
        }
      }
    }
  }
  for (const auto& [track, flags] : trex) {
    if (has_video_track_ && track == video_track_id_) {
      trex_video_flags_ = flags;
    }
  }
}

void FeedSegmenter::mp4_moof(std::vector<FeedEvent>& out) {
  if (!has_video_track_) {
    return;
  }
  for (const Box& traf : boxes_in(body_)) {
    if (traf.type != "traf") {
      continue;
    }
    const std::vector<Box> parts = boxes_in(traf.payload);
    const Box* tfhd = find_box(parts, "tfhd");
    if (!tfhd || tfhd->payload.size() < 8 || be(tfhd->payload.substr(4, 4)) != video_track_id_) {
      continue;
    }
    std::optional<uint32_t> flags = trex_video_flags_;
    const uint64_t tf = be(tfhd->payload.substr(1, 3));
    size_t at =
        8 + (tf & 0x1 ? 8 : 0) + (tf & 0x2 ? 4 : 0) + (tf & 0x8 ? 4 : 0) + (tf & 0x10 ? 4 : 0);
    if ((tf & 0x20) && tfhd->payload.size() >= at + 4) {
      flags = static_cast<uint32_t>(be(tfhd->payload.substr(at, 4)));
    }
    for (const Box& trun : parts) {
      if (trun.type != "trun" || trun.payload.size() < 8 || be(trun.payload.substr(4, 4)) == 0) {
        continue;
      }
      const uint64_t rf = be(trun.payload.substr(1, 3));
      at = 8 + (rf & 0x1 ? 4 : 0);
      if ((rf & 0x4) && trun.payload.size() >= at + 4) {
        flags = static_cast<uint32_t>(be(trun.payload.substr(at, 4)));
      }
      at += rf & 0x4 ? 4 : 0;
      at += (rf & 0x100 ? 4 : 0) + (rf & 0x200 ? 4 : 0);
      if ((rf & 0x400) && trun.payload.size() >= at + 4) {
        flags = static_cast<uint32_t>(be(trun.payload.substr(at, 4)));
      }
      // Without sample flags anywhere the fragment's first video sample
      // counts as a keyframe: fragmenting recorders cut fragments at
      // keyframes.
      const bool key = !flags || (*flags & SAMPLE_NON_SYNC) == 0;
      out.push_back({FeedEvent::Kind::VideoFrame, position_, key});
      return;
    }
  }
}

// ---- FeedJoin ----

namespace {
// Bytes kept from before a chunk while no fragment is pending: a fragment's
// start is reported once its header is whole, which may be up to one box or
// element header (at most 16 bytes) into the next chunk.
constexpr size_t JOIN_TAIL = 64;
}  // namespace

void FeedJoin::hold_from(uint64_t position) {
  const uint64_t end = held_start_ + held_.size();
  position = std::clamp(position, held_start_, end);
  held_.erase(0, static_cast<size_t>(position - held_start_));
  held_start_ = position;
}

std::vector<SharedBytes> FeedJoin::join(uint64_t from, const std::string& init_segment) {
  hold_from(from);
  joined_ = true;
  candidate_ = false;
  std::vector<SharedBytes> out;
  out.push_back(std::make_shared<const std::string>(init_segment));
  out.push_back(std::make_shared<const std::string>(std::move(held_)));
  held_.clear();
  held_.shrink_to_fit();
  return out;
}

std::vector<SharedBytes> FeedJoin::admit(const SharedBytes& chunk, uint64_t chunk_position,
                                         const std::vector<FeedEvent>& events,
                                         const std::string& init_segment) {
  if (joined_) {
    return {chunk};
  }
  if (held_start_ + held_.size() != chunk_position) {
    // Not the chunk that follows the held bytes (the first one, or a gap):
    // start holding afresh.
    held_.clear();
    held_start_ = chunk_position;
    candidate_ = false;
  }
  held_.append(*chunk);
  for (const FeedEvent& e : events) {
    switch (e.kind) {
      case FeedEvent::Kind::StreamStart:
        candidate_ = false;
        break;
      case FeedEvent::Kind::FragmentStart:
        if (e.position < held_start_) {
          candidate_ = false;  // its first bytes were not held
          break;
        }
        if (e.key) {
          return join(e.position, init_segment);
        }
        candidate_ = true;
        candidate_start_ = e.position;
        break;
      case FeedEvent::Kind::VideoFrame:
        if (candidate_ && e.position - candidate_start_ > FEED_JOIN_HOLD_LIMIT) {
          candidate_ = false;  // known too late: it would have been held past the limit
        }
        if (candidate_) {
          if (e.key) {
            return join(candidate_start_, init_segment);
          }
          candidate_ = false;
        }
        break;
    }
  }
  if (candidate_ && held_.size() - (candidate_start_ - held_start_) > FEED_JOIN_HOLD_LIMIT) {
    candidate_ = false;
  }
  if (candidate_) {
    hold_from(candidate_start_);
  } else if (held_.size() > JOIN_TAIL) {
    hold_from(held_start_ + held_.size() - JOIN_TAIL);
  }
  return {};
}

// ---- FeedRewind ----

void FeedRewind::confirm(uint64_t from) {
  const uint64_t end = held_start_ + held_.size();
  if (from < held_start_ || from > end) {
    history_.clear();  // its first bytes were not held
    return;
  }
  history_.assign(held_, static_cast<size_t>(from - held_start_));
}

void FeedRewind::observe(std::string_view chunk, uint64_t chunk_position,
                         const std::vector<FeedEvent>& events) {
  if (held_start_ + held_.size() != chunk_position) {
    held_.clear();
    history_.clear();
    held_start_ = chunk_position;
    candidate_ = false;
  }
  held_.append(chunk);
  if (!history_.empty()) {
    history_.append(chunk);
  }
  for (const FeedEvent& e : events) {
    switch (e.kind) {
      case FeedEvent::Kind::StreamStart:
        candidate_ = false;
        history_.clear();  // of no use without the old stream's head
        break;
      case FeedEvent::Kind::FragmentStart:
        candidate_ = !e.key;
        candidate_start_ = e.position;
        if (e.key) {
          confirm(e.position);
        }
        break;
      case FeedEvent::Kind::VideoFrame:
        if (candidate_) {
          // Judged too late, it would have been held past the bound.
          if (e.key && e.position - candidate_start_ <= FEED_JOIN_HOLD_LIMIT) {
            confirm(candidate_start_);
          }
          candidate_ = false;
        }
        break;
    }
  }
  if (history_.size() > FEED_JOIN_HOLD_LIMIT) {
    history_.clear();
    history_.shrink_to_fit();
  }
  const uint64_t end = held_start_ + held_.size();
  if (candidate_ && end - candidate_start_ > FEED_JOIN_HOLD_LIMIT) {
    candidate_ = false;
  }
  const uint64_t keep_from = candidate_
                                 ? std::max(candidate_start_, held_start_)
                                 : (held_.size() > JOIN_TAIL ? end - JOIN_TAIL : held_start_);
  held_.erase(0, static_cast<size_t>(keep_from - held_start_));
  held_start_ = keep_from;
}

}  // namespace wf::bridge
