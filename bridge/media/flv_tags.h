#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

/// Bytes held once and shared by every queue they go to; the same type as
/// the encoder's `SharedChunk`, so a tag can be queued to a feed writer
/// without a copy.
using SharedBytes = std::shared_ptr<const std::string>;

/// What one unit of an FLV stream is, as far as joining a stream needs to
/// know.
enum class FlvTagKind {
  FileHeader,           // "FLV" header and PreviousTagSize0
  Metadata,             // script data named "onMetaData"
  VideoSequenceHeader,  // AVC decoder configuration
  AudioSequenceHeader,  // AAC audio specific config
  VideoKeyframe,        // a coded video frame a decoder can start at
  VideoFrame,           // any other coded video frame
  AudioFrame,           // coded audio
  Other,                // anything else (other script data, end of sequence, ...)
};

/// One whole unit of an FLV stream. `bytes` holds it exactly as it stands in
/// the stream: for the FileHeader the header (DataOffset bytes) and the
/// 4-byte PreviousTagSize0; for a tag its 11-byte header, its body and the
/// 4-byte PreviousTagSize after it. `timestamp_ms` is the tag's timestamp
/// (with its extension byte); 0 for the FileHeader.
struct FlvTag {
  FlvTagKind kind = FlvTagKind::Other;
  uint32_t timestamp_ms = 0;
  SharedBytes bytes;
};

/// The largest FileHeader DataOffset taken; the format's own is 9.
inline constexpr uint32_t FLV_MAX_HEADER_SIZE = 1024;

/// Splits an FLV byte stream into whole units. Streaming: bytes come in any
/// split and each unit is given out once it is complete; it holds at most
/// one incomplete unit, whose size the format bounds (a tag body is at most
/// 2^24 - 1 bytes).
class FlvSplitter {
 public:
  /// Takes the next bytes of the stream and appends each unit they complete
  /// to `out`. Malformed input (no "FLV" signature, a header size out of
  /// range, a PreviousTagSize that does not match its tag) fails the
  /// splitter: this and every later push return the error and give nothing
  /// more, while units completed before the fault are still appended.
  Status push(std::string_view bytes, std::vector<FlvTag>& out);

  /// True once malformed input was seen.
  bool failed() const { return failed_.has_value(); }
  /// Stream bytes taken that ended in a unit given out.
  uint64_t consumed() const { return consumed_; }

 private:
  Status fail(std::string message);
  FlvTag make_unit(std::string bytes) const;

  std::string pending_;
  bool header_done_ = false;
  uint64_t consumed_ = 0;
  std::optional<Error> failed_;
};

/// Classifies one tag from its bytes (11-byte header, body, PreviousTagSize);
/// also used to classify the header unit when it starts with "FLV".
FlvTagKind classify_flv_unit(std::string_view unit);

/// The stream head of one FLV stream: the latest FileHeader, Metadata,
/// VideoSequenceHeader and AudioSequenceHeader seen. A new FileHeader starts
/// a new stream and forgets the others.
class FlvHead {
 public:
  void observe(const FlvTag& tag);
  /// True once the FileHeader and the VideoSequenceHeader are known: a
  /// publisher can start from a keyframe.
  bool ready() const;
  /// The known units in stream order: header, metadata, video sequence
  /// header, audio sequence header; missing ones are left out.
  std::vector<FlvTag> tags() const;

 private:
  std::optional<FlvTag> header_, metadata_, video_, audio_;
};

/// The gate in front of one publisher that starts on a running stream: it
/// gets the stream head first, then the tags from the next video keyframe
/// on. Pure: no clock, no I/O.
class FlvJoin {
 public:
  /// What to queue to this publisher for `tag`, given the head as it stands
  /// after observing `tag`: nothing while waiting for a keyframe (or for a
  /// ready head); at the first keyframe the head's units followed by the
  /// keyframe; afterwards the tag itself. Sequence headers and metadata that
  /// arrive again later pass as ordinary tags; a FileHeader after the join
  /// is never passed, since a demuxer cannot take a second one mid-stream.
  std::vector<SharedBytes> admit(const FlvTag& tag, const FlvHead& head);
  bool joined() const { return joined_; }

 private:
  bool joined_ = false;
};

/// A copy of a tag's bytes with its timestamp (and extension) set to `ms`;
/// the FileHeader comes back unchanged.
SharedBytes with_timestamp(const FlvTag& tag, uint32_t ms);

}  // namespace wf::bridge
