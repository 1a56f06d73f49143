#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wf::bridge {

/// The figures of one progress report of an encoding child.
struct EncoderProgress {
  double fps = 0;
  /// Media time encoded per wall-clock time; below 1 the machine cannot
  /// keep up.
  double speed = 0;
  uint64_t dropped_frames = 0;
  uint64_t duplicated_frames = 0;

  bool operator==(const EncoderProgress&) const = default;
};

/// Lines longer than this are dropped whole; a report line is short.
inline constexpr size_t PROGRESS_LINE_LIMIT = 1024;

/// Reads the progress reports of an encoding child: blocks of "key=value"
/// lines, each block ended by a "progress=continue" or "progress=end" line.
/// Streaming: bytes come in any split. Keys read: "fps", "speed" ("1.01x"),
/// "drop_frames", "dup_frames". A value that is "N/A" or malformed keeps the
/// field's previous value (0 before any); other keys are ignored.
class ProgressParser {
 public:
  /// Takes the next bytes and appends each report completed by them.
  void push(std::string_view bytes, std::vector<EncoderProgress>& out);

 private:
  void line(std::string_view text, std::vector<EncoderProgress>& out);

  std::string line_;
  bool overlong_ = false;
  EncoderProgress current_;
};

}  // namespace wf::bridge
