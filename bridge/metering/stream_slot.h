#pragma once

#include <utility>

#include "bridge/devices/device_layer.h"

namespace wf::bridge {

/// The one live input stream, or none. Touched by the dispatch thread only.
/// Emptying the slot closes the stream; when `release` (or `put`) returns,
/// the old stream's callbacks have stopped.
class StreamSlot {
 public:
  StreamSlot() = default;
  StreamSlot(const StreamSlot&) = delete;
  StreamSlot& operator=(const StreamSlot&) = delete;
  ~StreamSlot() { release(); }

  bool empty() const { return !stream_; }
  /// Closes the held stream, if any.
  void release() { stream_.reset(); }
  /// Holds `stream`, closing the one held before.
  void put(InputStreamPtr stream) {
    release();
    stream_ = std::move(stream);
  }

 private:
  InputStreamPtr stream_;
};

}  // namespace wf::bridge
