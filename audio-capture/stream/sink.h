#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>

namespace wf::capture {

/// Where the packet stream goes: an unbuffered byte sink with the contract
/// of POSIX `write` (bytes written, or 0 or less on failure).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual ssize_t write(const void* bytes, size_t length) = 0;
};

/// Writes straight to a file descriptor (standard output in the program).
class FdSink : public Sink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  ssize_t write(const void* bytes, size_t length) override;

 private:
  int fd_;
};

/// Writes all `length` bytes to `sink` unless `stopping` becomes non-zero
/// first. True when every byte went out (and for a zero length); false when a
/// write failed or a stop request left bytes unwritten. An interrupted write
/// is not retried, so a stop signal can leave a packet incomplete.
bool writeAll(Sink& sink, const void* bytes, size_t length,
              const volatile std::sig_atomic_t& stopping);

}  // namespace wf::capture
