#pragma once

#include <stdexcept>

namespace wf::capture {

/// The one line the program writes when any mode fails.
inline constexpr const char* FAILURE_LINE =
    "Core Audio capture unavailable; check device connection, sample rate and microphone "
    "permission";

/// A failure of any mode. It unwinds to the program's single handler, which
/// writes `FAILURE_LINE` and exits with status 1; `reason` only tells tests
/// which failure it was.
class Failure : public std::runtime_error {
 public:
  enum class Reason {
    usage,
    deviceMissing,
    componentMissing,
    configuration,
    disconnect,
    unresponsive
  };

  Failure(Reason reason, const char* what) : std::runtime_error(what), reason_(reason) {}
  Reason reason() const { return reason_; }

 private:
  Reason reason_;
};

}  // namespace wf::capture
