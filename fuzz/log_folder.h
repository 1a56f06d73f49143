#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace wf::fuzz {

/// A private folder for the encoder log files that launches create, made
/// the process's TMPDIR on first use and removed at exit. Never destroyed,
/// so the exit handler can still use it.
inline const std::filesystem::path& log_folder() {
  static const auto* dir = [] {
    auto* d = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                        ("wf-fuzz-logs-" + std::to_string(::getpid())));
    std::filesystem::create_directories(*d);
    ::setenv("TMPDIR", d->c_str(), 1);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(log_folder(), ec);
    });
    return d;
  }();
  return *dir;
}

/// Removes the log files of the last input, so that a long run does not
/// fill the disk.
inline void empty_log_folder() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(log_folder(), ec)) {
    std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace wf::fuzz
