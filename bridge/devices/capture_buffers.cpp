#include "bridge/devices/capture_buffers.h"

#include <algorithm>

namespace wf::bridge {

CaptureBuffers::CaptureBuffers(size_t buffer_bytes)
    : buffer_bytes_(std::max<size_t>(buffer_bytes, 1)) {
  held_.reserve(buffer_bytes_);
}

void CaptureBuffers::add(std::string_view piece, const Deliver& deliver) {
  // Whole buffers that lie inside the piece go out from the piece itself;
  // only the ends are copied.
  if (!held_.empty()) {
    const size_t take = std::min(piece.size(), buffer_bytes_ - held_.size());
    held_.insert(held_.end(), piece.begin(), piece.begin() + take);
    piece.remove_prefix(take);
    if (held_.size() < buffer_bytes_) {
      return;
    }
    deliver(std::string_view(held_.data(), held_.size()));
    held_.clear();
  }
  while (piece.size() >= buffer_bytes_) {
    deliver(piece.substr(0, buffer_bytes_));
    piece.remove_prefix(buffer_bytes_);
  }
  held_.insert(held_.end(), piece.begin(), piece.end());
}

void CaptureBuffers::gap() {
  held_.clear();
}

}  // namespace wf::bridge
