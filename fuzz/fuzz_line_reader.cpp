// The command channel's line reader fed one byte stream in reads of sizes
// taken from the input itself; the lines must be the same as splitting the
// whole stream at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel/line_reader.h"

using wf::host::LineReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  // First byte: the line limit; second: the seed for the read sizes.
  const size_t limit = 1 + data[0] % 64;
  uint32_t seed = data[1];
  const std::string stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  size_t offset = 0;
  LineReader reader(
      [&](char* buffer, size_t n) -> ssize_t {
        seed = seed * 1103515245u + 12345u;
        size_t take = std::min<size_t>({n, stream.size() - offset, 1 + (seed >> 16) % 17});
        std::memcpy(buffer, stream.data() + offset, take);
        offset += take;
        return static_cast<ssize_t>(take);
      },
      limit);

  // What the reader must produce: lines at LF, the last one without LF kept,
  // and the stream stopped at the first line over the limit.
  std::vector<std::string> expected;
  bool too_long = false;
  size_t start = 0;
  while (start < stream.size()) {
    size_t end = stream.find('\n', start);
    size_t stop = end == std::string::npos ? stream.size() : end;
    if (stop - start > limit) {
      too_long = true;
      break;
    }
    expected.push_back(stream.substr(start, stop - start));
    start = stop + 1;
  }

  std::vector<std::string> got;
  std::string line;
  LineReader::Status status;
  while ((status = reader.next(line)) == LineReader::Status::Line) {
    got.push_back(line);
    if (got.size() > expected.size()) {
      break;
    }
  }
  if (got != expected || (status == LineReader::Status::TooLong) != too_long) {
    std::abort();
  }
  return 0;
}
