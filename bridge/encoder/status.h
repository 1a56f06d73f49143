#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/encoder/encoder_process.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// Bytes read from the end of a log for its diagnostic tail.
inline constexpr size_t DIAGNOSTIC_WINDOW = 16384;
/// Pieces kept in a diagnostic tail.
inline constexpr size_t DIAGNOSTIC_PIECES = 12;

/// The last lines of an encoder log, fit to show a user: the file's last
/// 16384 bytes decoded as UTF-8 (invalid sequences become U+FFFD), split at
/// every CR and every LF, the first piece dropped when the file is longer
/// than the window (it may be cut), blank pieces and pieces naming an
/// "rtmp://" or "rtmps://" URL (in any letter case) left out, and the last
/// 12 of the rest joined with LF. Fails when the file cannot be opened,
/// measured, positioned or read.
Result<std::string> encoder_diagnostic_tail(const std::string& log_path);

/// The same tail from log bytes already read: `window` is the end of a log
/// of `file_size` bytes.
std::string diagnostic_tail_of(std::string_view window, uint64_t file_size);

/// Status of every output, in list order: {"ok":true,"outputs":[...]}, each
/// with "bytesReceived", "diagnostic", "exitCode", "id", "name", "processId"
/// and "running". Collects the exit of children that have ended; removes
/// nothing.
nlohmann::ordered_json encoder_status(EncoderList& encoders);

}  // namespace wf::bridge
