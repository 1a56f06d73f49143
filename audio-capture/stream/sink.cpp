#include "audio-capture/stream/sink.h"

#include <unistd.h>

namespace wf::capture {

ssize_t FdSink::write(const void* bytes, size_t length) {
  return ::write(fd_, bytes, length);
}

bool writeAll(Sink& sink, const void* bytes, size_t length,
              const volatile std::sig_atomic_t& stopping) {
  auto* next = static_cast<const unsigned char*>(bytes);
  while (length > 0 && stopping == 0) {
    ssize_t written = sink.write(next, length);
    if (written <= 0) {
      return false;
    }
    next += written;
    length -= static_cast<size_t>(written);
  }
  return length == 0;
}

}  // namespace wf::capture
