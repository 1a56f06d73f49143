#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <sys/types.h>

namespace wf::host {

/// Splits a byte stream into lines at line feeds (the line feed is dropped; a
/// carriage return stays in the line). A last line without a line feed is
/// still a line. A line longer than the limit ends the stream: the reader
/// stops as if input had ended, without buffering more than the limit.
class LineReader {
 public:
  /// Reads up to n bytes into the buffer; 0 at end of input, negative on error
  /// (EINTR is retried by the reader).
  using Source = std::function<ssize_t(char* buffer, size_t n)>;

  /// Longest accepted line: 32 MiB (a line of exactly this length is kept).
  static constexpr size_t MAX_LINE = 33554432;

  explicit LineReader(Source source, size_t maxLine = MAX_LINE);

  enum class Status { Line, End, TooLong };
  /// The next line, or why there is none. After End or TooLong, keeps
  /// answering the same.
  Status next(std::string& line);

 private:
  bool fill();

  Source source_;
  size_t maxLine_;
  std::string buffer_;
  size_t start_ = 0;
  bool ended_ = false;
  bool stopped_ = false;
  Status stopStatus_ = Status::End;
};

/// A source reading from a file descriptor.
LineReader::Source fdSource(int fd);

}  // namespace wf::host
