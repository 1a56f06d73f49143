#pragma once

#include <algorithm>
#include <functional>
#include <string>

#include "audio-capture/stream/sink.h"

namespace wf::capture {

/// Keeps every byte written to it. It can take at most `chunk` bytes per
/// call, fail from the `failAt`-th call on (counting from 0), and run
/// `onWrite` after each call.
class RecordingSink : public Sink {
 public:
  std::string bytes;
  size_t chunk = SIZE_MAX;
  size_t failAt = SIZE_MAX;
  ssize_t failResult = -1;
  size_t calls = 0;
  std::function<void()> onWrite;

  ssize_t write(const void* data, size_t length) override {
    if (calls++ >= failAt) {
      return failResult;
    }
    size_t n = std::min(length, chunk);
    bytes.append(static_cast<const char*>(data), n);
    if (onWrite) {
      onWrite();
    }
    return static_cast<ssize_t>(n);
  }
};

}  // namespace wf::capture
