#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace wf::host {

/// One request line as a queue holds it: parsed once by the reader, so the
/// thread that handles it does not parse it again. A line that is not JSON
/// keeps the parser's message instead of a value.
struct QueuedLine {
  /// The line was empty: no reply at all.
  bool empty = false;
  nlohmann::json value;
  std::optional<std::string> parseError;
  /// A "process" line's samples when they were read straight from the text;
  /// "pcm" is then absent from `value`.
  std::optional<std::vector<float>> samples;
};

/// Where the reader puts a line.
enum class Route { Command, Process };

/// Parses one request line strictly (a trailing carriage return counts as
/// white space) and chooses its queue: "process" when the line is a JSON
/// object whose "op" is the string "process", the main thread's command queue
/// for everything else, including lines that are not JSON.
Route routeLine(std::string_view line, QueuedLine& parsed);

/// Runs the request/reply envelope around one operation: copies "id" into the
/// reply (failing for a non-object or a missing "id"), calls `body` with the
/// request and stores its value as "result", or stores the what() of any
/// exception as "error", keeping the "id" already copied.
nlohmann::json runEnvelope(const QueuedLine& line,
                           const std::function<nlohmann::json(const nlohmann::json&)>& body);

/// One reply line: compact JSON with keys in ascending byte order, non-ASCII
/// text as UTF-8 without escapes, followed by a line feed. Bytes that are not
/// valid UTF-8 are written as U+FFFD, so every request still gets its reply.
std::string replyLine(const nlohmann::json& reply);

/// Writes reply lines whole to a file descriptor under the output lock, so
/// that replies from the two handling threads never interleave within a line.
class ReplyWriter {
 public:
  explicit ReplyWriter(int fd) : fd_(fd) {}
  /// Writes the reply's line; a failed write (the reader has gone) is ignored.
  void write(const nlohmann::json& reply);
  /// Writes a reply line already in its final form, line feed included.
  void writeLine(std::string_view text);

 private:
  int fd_;
  std::mutex outputLock_;
};

}  // namespace wf::host
