#pragma once

#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"

namespace wf::testing {

/// A private X server (Xvfb, 1280 x 1024 x 24, no TCP listener) for one test.
/// The server picks a free display number itself and reports it once it
/// accepts clients, so the constructor returns with the server ready (or
/// `ready()` false when it could not start). Killed when the object goes away.
class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ready() const { return !display_.empty(); }
  /// The value for DISPLAY, e.g. ":3".
  const std::string& display() const { return display_; }
  /// Ends the server now, as a crash would for its clients.
  void stop();
  /// Environment for clients of this server.
  std::vector<std::pair<std::string, std::string>> clientEnv() const;

 private:
  Child server_;
  std::string display_;
};

}  // namespace wf::testing
