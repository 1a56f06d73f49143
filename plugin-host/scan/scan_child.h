#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace wf::host {

/// What identifies one version of a module's binary: a repeated scan of the
/// same path answers from the cache only while all of these are unchanged.
struct ModuleStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const ModuleStamp&) const = default;
};

/// How a scanner child ended.
struct ChildEnd {
  /// The signal that ended it, or 0 when it exited.
  int signal = 0;
  /// Its exit status when it exited.
  int status = 0;
};

/// One running scanner child: it loads the module named at launch and
/// writes its one message to a pipe, then exits.
class ScanChild {
 public:
  virtual ~ScanChild();
  /// Readable when the child wrote to its message pipe, or closed it.
  virtual int messageFd() const = 0;
  /// Readable once the child has ended; -1 when the system offers no such
  /// descriptor (the caller then polls on a short interval).
  virtual int endFd() const = 0;
  /// Appends what the pipe holds now to `message`, without waiting. True
  /// once the pipe has ended (no writer holds it any more).
  virtual bool readMessage(std::string& message) = 0;
  /// How the child ended, once it has (reaps it); none while it runs.
  virtual std::optional<ChildEnd> reap() = 0;
  /// Ends the child with SIGKILL and reaps it.
  virtual void kill() = 0;
};

/// What scanning needs of the system: starting a scanner child for a module,
/// the stamp of a module's binary, and the time.
class ScanPlatform {
 public:
  virtual ~ScanPlatform();
  /// Starts the scanner on `path`; null with `error` set when it cannot be
  /// started.
  virtual std::unique_ptr<ScanChild> launch(const std::string& path, std::string& error) = 0;
  /// The stamp of the binary of the module at `path` (for a bundle, its
  /// library); none when there is no such file.
  virtual std::optional<ModuleStamp> stamp(const std::string& path) = 0;
  virtual std::chrono::steady_clock::time_point now() = 0;
};

/// The system's scanning: the scanner program `plugin-host-scanner` beside
/// the running executable.
std::unique_ptr<ScanPlatform> makeScanPlatform();

}  // namespace wf::host
