// The encoder log tail shown to users. Besides memory faults it checks the
// redaction promise: nothing that followed "rtmp://" or "rtmps://" (any
// letter case) on a line of the log may reach the tail, unless the same text
// also stands on a line that names no URL.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/encoder/status.h"
#include "bridge/core/text.h"

using namespace wf::bridge;

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::vector<std::string_view> pieces(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find_first_of("\r\n", start);
    out.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) {
      return out;
    }
    start = end + 1;
  }
}

[[noreturn]] void violated(const std::string& what) {
  std::fprintf(stderr, "redaction violated: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  // The first byte says whether the window is the end of a longer file.
  const uint64_t file_size = data[0] & 1 ? DIAGNOSTIC_WINDOW + size : size - 1;
  std::string_view window(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string tail = diagnostic_tail_of(window, file_size);

  const std::string low_tail = lower(tail);
  if (low_tail.find("rtmp://") != std::string::npos ||
      low_tail.find("rtmps://") != std::string::npos) {
    violated("a URL scheme reached the tail");
  }
  // Work on the text as the tail sees it: decoded, invalid bytes replaced.
  const std::string text = decode_utf8_lossy(window);
  std::vector<std::string> secrets;
  std::vector<std::string_view> clean;
  for (std::string_view piece : pieces(text)) {
    const std::string low = lower(piece);
    bool named = false;
    for (std::string_view scheme : {"rtmp://", "rtmps://"}) {
      for (size_t at = low.find(scheme); at != std::string::npos; at = low.find(scheme, at + 1)) {
        named = true;
        std::string_view behind = piece.substr(at + scheme.size());
        if (!behind.empty()) {
          secrets.emplace_back(behind);
        }
      }
    }
    if (!named) {
      clean.push_back(piece);
    }
  }
  for (const std::string& secret : secrets) {
    if (tail.find(secret) == std::string::npos) {
      continue;
    }
    bool elsewhere = false;
    for (std::string_view piece : clean) {
      elsewhere = elsewhere || piece.find(secret) != std::string_view::npos;
    }
    if (!elsewhere) {
      violated("text behind a URL scheme reached the tail: " + secret);
    }
  }
  return 0;
}
