#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/http/error.h"
#include "bridge/media/flv_tags.h"

namespace wf::bridge {

/// The container of the program feed.
enum class FeedContainer { WebM, Mp4 };

/// A point of interest in the program feed. `position` counts bytes from
/// the start of the feed (the first byte ever pushed is 0), so an event can
/// name a point in an earlier chunk than the one whose push reported it.
struct FeedEvent {
  enum class Kind {
    /// A new stream starts at `position` (a second EBML header or `ftyp`):
    /// a front end that re-sent the head. The init segment is being
    /// replaced from here on.
    StreamStart,
    /// A WebM Cluster or an MP4 `moof` box begins at `position`. `key` is
    /// true when the feed has no video track, so any fragment is a place
    /// to start decoding.
    FragmentStart,
    /// A video frame of the current fragment: `key` says whether a decoder
    /// can start at it. `position` is where that became known. WebM reports
    /// every video block; MP4 the first video sample of each `moof`, at the
    /// end of that box.
    VideoFrame,
  };
  Kind kind;
  uint64_t position;
  bool key;

  bool operator==(const FeedEvent&) const = default;
};

/// The largest init segment kept (everything before the first fragment);
/// a feed whose head is larger is refused.
inline constexpr size_t FEED_INIT_LIMIT = 4u << 20;
/// The largest MP4 `moof` box parsed; a larger one is refused.
inline constexpr size_t FEED_MOOF_LIMIT = 4u << 20;

/// Follows the structure of the program feed, WebM through its EBML
/// elements and MP4 through its boxes, to find where fragments begin,
/// whether their video frames are keyframes, and the init segment a decoder
/// that starts mid-stream needs first. Streaming: chunks come in any split.
/// Bounded memory: it keeps the init segment, the `moof` being parsed and a
/// small parse state, never the feed.
///
/// WebM: Segments and Clusters may have unknown size; such an element ends
/// where an element begins that cannot be its child. Void and CRC-32
/// elements may stand anywhere. A Cluster may begin with audio or with a
/// non-key frame.
class FeedSegmenter {
 public:
  explicit FeedSegmenter(FeedContainer container);

  /// Takes the next chunk of the feed and appends the events it completes
  /// to `out`, in stream order. Malformed input fails the segmenter: this
  /// and every later push return the error (events found before the fault
  /// are still appended).
  Status push(std::string_view chunk, std::vector<FeedEvent>& out);

  /// True once the first fragment of the current stream has begun.
  bool init_complete() const { return init_complete_; }
  /// WebM: everything before the first Cluster (EBML header, Segment
  /// header, Info, Tracks, ...). MP4: everything before the first `moof`
  /// (`ftyp`, `moov`, ...). Complete only once init_complete().
  const std::string& init_segment() const { return init_; }
  /// Bytes pushed so far, after a failure too: where the next chunk starts.
  uint64_t position() const { return pushed_; }
  bool failed() const { return failed_.has_value(); }

 private:
  struct Element {
    uint32_t id;
    uint64_t end;  // absolute; for an unknown size, the end of the nearest known ancestor
    bool unknown;
  };

  Status fail(std::string message);
  Status take_header_byte(char byte, std::vector<FeedEvent>& out);
  Status webm_header(std::vector<FeedEvent>& out);
  Status webm_element(uint32_t id, uint64_t size, bool unknown, std::vector<FeedEvent>& out);
  void webm_value(std::vector<FeedEvent>& out);
  void webm_close(const Element& e, std::vector<FeedEvent>& out);
  Status close_ended(std::vector<FeedEvent>& out);
  Status mp4_header(std::vector<FeedEvent>& out);
  void mp4_value(std::vector<FeedEvent>& out);
  void mp4_moov(std::string_view body);
  void mp4_moof(std::vector<FeedEvent>& out);
  void begin_stream(std::vector<FeedEvent>& out);
  void begin_fragment(std::vector<FeedEvent>& out);
  Status keep_init(std::string_view bytes);
  bool is_video_track(uint64_t track) const;

  FeedContainer container_;
  std::optional<Error> failed_;
  uint64_t position_ = 0;  // feed position of the next byte to parse
  uint64_t pushed_ = 0;

  // The init segment of the current stream.
  std::string init_;
  bool init_complete_ = false;
  bool stream_seen_ = false;
  uint64_t stream_start_ = 0;

  // The element or box header being read, and where it began.
  std::string header_;
  uint64_t header_start_ = 0;
  // Body bytes being kept (a small value, a block's first bytes, a moov or
  // moof box), how many more to keep, then how many to skip.
  std::string body_;
  uint32_t body_id_ = 0;
  uint64_t keep_ = 0;
  uint64_t skip_ = 0;
  bool skip_forever_ = false;

  // WebM: the open master elements and what Tracks said.
  std::vector<Element> open_;
  std::vector<uint64_t> video_tracks_;
  uint64_t entry_number_ = 0;
  uint64_t entry_type_ = 0;
  bool group_block_ = false;
  bool group_video_ = false;
  bool group_referenced_ = false;

  // MP4: the video track and its default sample flags from `trex`.
  uint32_t video_track_id_ = 0;
  bool has_video_track_ = false;
  std::optional<uint32_t> trex_video_flags_;
};

/// The gate in front of an encoding child that starts on a running feed:
/// nothing goes in until a fragment begins whose first video frame is a
/// keyframe; then the init segment, followed by the feed from that
/// fragment's start; afterwards every chunk whole. Because the first video
/// frame of a fragment may be known only in a later chunk than the
/// fragment's start, it holds the bytes from the fragment's start until it
/// knows (at most FEED_JOIN_HOLD_LIMIT; past that it gives the fragment up
/// and waits for the next).
class FeedJoin {
 public:
  /// `chunk` is the chunk just pushed to the feed's segmenter, starting at
  /// feed position `chunk_position`; `events` what that push reported;
  /// `init_segment` the segmenter's init segment. Returns what to write
  /// into the encoder for this chunk, in order; once joined, the chunk
  /// itself (the same shared bytes).
  std::vector<SharedBytes> admit(const SharedBytes& chunk, uint64_t chunk_position,
                                 const std::vector<FeedEvent>& events,
                                 const std::string& init_segment);
  bool joined() const { return joined_; }

 private:
  std::vector<SharedBytes> join(uint64_t from, const std::string& init_segment);
  void hold_from(uint64_t position);

  bool joined_ = false;
  std::string held_;         // feed bytes from held_start_ to the end of the last chunk
  uint64_t held_start_ = 0;  // feed position of held_[0]
  bool candidate_ = false;   // a fragment not yet judged starts at candidate_start_
  uint64_t candidate_start_ = 0;
};

/// The recent feed a new encoding child can start from at once: the bytes
/// from the start of the latest fragment known to open with a keyframe (any
/// fragment, for a feed without video) to the end of the last chunk. A
/// child fed the init segment and this history decodes from its first
/// fragment and then takes every further chunk whole, instead of waiting up
/// to a keyframe interval of the feed for the next such fragment; its output
/// starts with up to that much of the recent program, encoded faster than
/// real time. Bounded: a history past FEED_JOIN_HOLD_LIMIT is dropped until
/// the next keyframe fragment.
class FeedRewind {
 public:
  /// `chunk` is the chunk just pushed to the feed's segmenter, starting at
  /// feed position `chunk_position`; `events` what that push reported.
  void observe(std::string_view chunk, uint64_t chunk_position,
               const std::vector<FeedEvent>& events);
  /// The history; empty when no keyframe fragment is known in the current
  /// stream (none yet, a new stream began, or it grew past the bound).
  const std::string& history() const { return history_; }

 private:
  void confirm(uint64_t from);

  std::string history_;
  std::string held_;  // as FeedJoin holds: a tail, or from the fragment being judged
  uint64_t held_start_ = 0;
  bool candidate_ = false;
  uint64_t candidate_start_ = 0;
};

/// Bytes held at most while waiting to judge one fragment.
inline constexpr size_t FEED_JOIN_HOLD_LIMIT = 8u << 20;

}  // namespace wf::bridge
