#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "bridge/core/clock.h"
#include "bridge/encoder/child.h"

namespace wf::bridge {

/// What the search for the encoder program looks at.
struct FfmpegSearch {
  /// The value of FFMPEG_PATH, absent when unset.
  std::optional<std::string> env;
  /// The directory of the bridge's own executable; empty when unknown.
  std::string own_directory;
  /// Whether a path names a regular file.
  std::function<bool(const std::string&)> regular_file;
};

/// The search of the running process: its environment, its executable's
/// directory and the file system, read now.
FfmpegSearch current_ffmpeg_search();

/// The encoder program to start, first match wins: FFMPEG_PATH when set and
/// not blank (used untrimmed); "ffmpeg" beside the bridge's own executable;
/// /opt/homebrew/bin/ffmpeg; /usr/local/bin/ffmpeg; else the bare name
/// "ffmpeg", searched in PATH when the child starts.
std::string resolve_ffmpeg(const FfmpegSearch& search);

/// `resolve_ffmpeg` over `current_ffmpeg_search()`, evaluated afresh on
/// every call.
std::string resolve_ffmpeg();

/// Runs `program -version` through `launcher` with all standard streams on
/// the null device and reports whether it started and exited with status 0
/// within `limit` on `clock`. A probe still running at the limit is killed,
/// reaped and counts as not ready.
bool probe_ffmpeg(const std::string& program, ChildLauncher& launcher = process_launcher(),
                  Clock& clock = steady_clock(),
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

/// Process-wide encoder readiness: the first call runs the probe on
/// `resolve_ffmpeg()`, every later call returns the stored answer.
bool ffmpeg_ready();

}  // namespace wf::bridge
