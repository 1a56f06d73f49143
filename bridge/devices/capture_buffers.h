#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace wf::bridge {

/// Joins the pieces of audio a sound server hands over into whole capture
/// buffers of one fixed size, as an audio library delivers them. A server
/// splits its data where its own memory blocks end, now and then into
/// pieces of a few frames; levels taken from such a piece alone say little
/// about the input (a frame near a zero crossing reads as silence). Pure
/// bookkeeping: no I/O, no lock.
class CaptureBuffers {
 public:
  /// Delivers one whole buffer; the bytes are valid during the call only.
  using Deliver = std::function<void(std::string_view buffer)>;

  /// `buffer_bytes` is a whole number of frames, at least one.
  explicit CaptureBuffers(size_t buffer_bytes);

  /// Adds the next piece and delivers every buffer it completes, in order.
  void add(std::string_view piece, const Deliver& deliver);
  /// Audio is missing here (the server reported a hole): the partial buffer
  /// is dropped, so that every buffer holds contiguous audio.
  void gap();

  size_t buffer_bytes() const { return buffer_bytes_; }
  /// Bytes held towards the next buffer.
  size_t held() const { return held_.size(); }

 private:
  size_t buffer_bytes_;
  std::vector<char> held_;
};

}  // namespace wf::bridge
