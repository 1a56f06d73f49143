#pragma once

#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace wf::capture::e2e {

inline const char* const FAILURE_LINE =
    "Core Audio capture unavailable; check device connection, sample rate and microphone "
    "permission\n";

/// Environment that points the program at a sound server that does not
/// exist, so runs without a server of their own never reach a real one.
inline std::vector<std::pair<std::string, std::string>> noServerEnv(const testing::TempDir& dir) {
  return {{"PULSE_SERVER", "unix:" + dir.file("no-server")},
          {"PULSE_RUNTIME_PATH", dir.path()},
          {"HOME", dir.path()}};
}

/// Runs a shell pipeline in which audio-capture's output is read by `head`
/// for `bytes` bytes and then closed; returns the program's exit status.
inline testing::ExitStatus runIntoClosedPipe(const std::string& args, size_t bytes,
                                             const testing::SpawnOptions& options,
                                             const std::string& errFile) {
  std::string script = "'" + testing::binPath("audio-capture") + "' " + args + " 2>'" + errFile +
                       "' | head -c " + std::to_string(bytes) +
                       " >/dev/null; exit ${PIPESTATUS[0]}";
  testing::ExitStatus status;
  testing::runCommand({"bash", "-c", script}, &status, options);
  return status;
}

}  // namespace wf::capture::e2e
