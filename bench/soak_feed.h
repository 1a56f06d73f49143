#pragma once

// The soak's program feed: a WebM file as a live recorder writes it (an
// unknown-size Segment of known-size Clusters), cut at its Cluster
// boundaries into the chunks the soak posts, each with the media time at
// which it is due. Pure parsing: no I/O.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wf::bench {

struct FeedChunk {
  /// Where the chunk starts in the file, and its length.
  size_t offset = 0;
  size_t size = 0;
  /// The media time of its Cluster, in milliseconds.
  int64_t ms = 0;
};

struct FeedLayout {
  /// Everything before the first Cluster: the EBML header, the Segment's
  /// head, Info and Tracks. A demuxer that joins the stream late needs it
  /// before any Cluster.
  size_t init_size = 0;
  /// One chunk per Cluster, each running to the next Cluster (or to the end
  /// of the file), so that the chunks together are the whole file after the
  /// init part.
  std::vector<FeedChunk> chunks;
};

namespace ebml {

constexpr uint32_t EBML_HEADER = 0x1A45DFA3;
constexpr uint32_t SEGMENT = 0x18538067;
constexpr uint32_t INFO = 0x1549A966;
constexpr uint32_t TIMESTAMP_SCALE = 0x2AD7B1;
constexpr uint32_t CLUSTER = 0x1F43B675;
constexpr uint32_t CLUSTER_TIMESTAMP = 0xE7;

// An element ID keeps its length marker, as the format writes IDs.
inline std::optional<uint32_t> read_id(std::string_view d, size_t& at) {
  if (at >= d.size()) {
    return std::nullopt;
  }
  const auto first = static_cast<uint8_t>(d[at]);
  int length = 1;
  while (length <= 4 && !(first & (0x80 >> (length - 1)))) {
    ++length;
  }
  if (length > 4 || at + length > d.size()) {
    return std::nullopt;
  }
  uint32_t id = 0;
  for (int i = 0; i < length; ++i) {
    id = (id << 8) | static_cast<uint8_t>(d[at + i]);
  }
  at += length;
  return id;
}

// A size drops its length marker; all value bits set means "unknown".
inline std::optional<uint64_t> read_size(std::string_view d, size_t& at, bool& unknown) {
  if (at >= d.size()) {
    return std::nullopt;
  }
  const auto first = static_cast<uint8_t>(d[at]);
  int length = 1;
  while (length <= 8 && !(first & (0x80 >> (length - 1)))) {
    ++length;
  }
  if (length > 8 || at + length > d.size()) {
    return std::nullopt;
  }
  uint64_t value = first & (0xFF >> length);
  bool all_ones = value == (0xFFu >> length);
  for (int i = 1; i < length; ++i) {
    const auto b = static_cast<uint8_t>(d[at + i]);
    value = (value << 8) | b;
    all_ones = all_ones && b == 0xFF;
  }
  at += length;
  unknown = all_ones;
  return value;
}

inline uint64_t read_uint(std::string_view d, size_t at, size_t size) {
  uint64_t v = 0;
  for (size_t i = 0; i < size && i < 8; ++i) {
    v = (v << 8) | static_cast<uint8_t>(d[at + i]);
  }
  return v;
}

}  // namespace ebml

/// Cuts `file` at its Clusters; nullopt with `why` set when the file is not
/// laid out as a live WebM (no Segment, a child of unknown size, a Cluster
/// without its time stamp first).
inline std::optional<FeedLayout> split_feed(std::string_view file, std::string& why) {
  using namespace ebml;
  size_t at = 0;
  bool unknown = false;
  auto id = read_id(file, at);
  auto size = read_size(file, at, unknown);
  if (!id || *id != EBML_HEADER || !size || unknown) {
    why = "no EBML header";
    return std::nullopt;
  }
  at += *size;
  id = read_id(file, at);
  size = read_size(file, at, unknown);
  if (!id || *id != SEGMENT || !size) {
    why = "no Segment after the EBML header";
    return std::nullopt;
  }
  const size_t end = unknown ? file.size() : std::min(file.size(), at + *size);
  uint64_t scale_ns = 1000000;
  FeedLayout layout;
  while (at < end) {
    const size_t start = at;
    id = read_id(file, at);
    size = read_size(file, at, unknown);
    if (!id || !size || unknown || at + *size > file.size()) {
      why = "a Segment child of unknown or impossible size at byte " + std::to_string(start);
      return std::nullopt;
    }
    if (*id == INFO) {
      for (size_t in = at; in < at + *size;) {
        bool u = false;
        auto cid = read_id(file, in);
        auto csize = read_size(file, in, u);
        if (!cid || !csize || u) {
          break;
        }
        if (*cid == TIMESTAMP_SCALE) {
          scale_ns = read_uint(file, in, *csize);
        }
        in += *csize;
      }
    } else if (*id == CLUSTER) {
      size_t in = at;
      bool u = false;
      auto cid = read_id(file, in);
      auto csize = read_size(file, in, u);
      if (!cid || *cid != CLUSTER_TIMESTAMP || !csize || u) {
        why = "a Cluster without its time stamp first at byte " + std::to_string(start);
        return std::nullopt;
      }
      const uint64_t ts = read_uint(file, in, *csize);
      if (layout.chunks.empty()) {
        layout.init_size = start;
      } else {
        layout.chunks.back().size = start - layout.chunks.back().offset;
      }
      layout.chunks.push_back({start, 0, static_cast<int64_t>(ts * scale_ns / 1000000)});
    }
    at += *size;
  }
  if (layout.chunks.empty()) {
    why = "no Cluster in the feed";
    return std::nullopt;
  }
  layout.chunks.back().size = file.size() - layout.chunks.back().offset;
  return layout;
}

/// The bytes-received rule of one output: the count moves only by whole
/// chunks, so every value it may show is a sum of the chunks posted to it
/// since its launch, in order.
class ByteLedger {
 public:
  /// Records a chunk of `n` bytes posted to this output (before the post, so
  /// that a count read meanwhile is already known here).
  void posted(uint64_t n) {
    if (n > 0) {
      sums_.push_back(sums_.back() + n);
    }
  }
  uint64_t total() const { return sums_.back(); }
  /// True when `count` is a whole-chunk sum of what was posted.
  bool on_boundary(uint64_t count) const {
    size_t lo = 0, hi = sums_.size();
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      if (sums_[mid] < count) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo < sums_.size() && sums_[lo] == count;
  }

 private:
  std::vector<uint64_t> sums_{0};
};

}  // namespace wf::bench
