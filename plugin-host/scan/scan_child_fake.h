#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scan/scan_child.h"

namespace wf::host {

/// What a fake scanner child does: the message it has written so far and,
/// once set, how it ended. Shared with the test, which changes it while the
/// scan runs.
struct FakeChildScript {
  std::string message;
  std::optional<ChildEnd> end;
  /// The child closed its end of the pipe.
  bool closed = false;
  bool killed = false;
};

/// A scan platform whose children, stamps and clock belong to the test. It
/// records every launch ("launch PATH") and kill ("kill PATH") in `log`.
class FakeScanPlatform final : public ScanPlatform {
 public:
  std::unique_ptr<ScanChild> launch(const std::string& path, std::string& error) override;
  std::optional<ModuleStamp> stamp(const std::string& path) override;
  std::chrono::steady_clock::time_point now() override { return clock; }

  /// The script of the next child launched for a path; a launch without one
  /// fails with `launchError`.
  std::map<std::string, std::shared_ptr<FakeChildScript>> scripts;
  std::string launchError = "Plug-in scanner could not be started: no script";
  std::map<std::string, ModuleStamp> stamps;
  std::chrono::steady_clock::time_point clock{};
  std::vector<std::string> log;
};

}  // namespace wf::host
