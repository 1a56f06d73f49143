#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "audio-capture/io.h"
#include "audio-capture/platform/platform.h"

namespace wf::capture {

/// The stop flag: 0 at start, set to 1 by `stop`, never cleared. Read afresh
/// by the capture and test loops and by `writeAll`.
extern volatile std::sig_atomic_t stopping;

/// Signal handler: sets `stopping` and does nothing else.
void stop(int signal);

/// Installs `stop` for `signal` with an empty mask and no flags, so blocking
/// writes are interrupted rather than restarted.
void installStop(int signal);

/// The program after its signal set-up: dispatches the arguments (without
/// the program name) to a mode and returns the exit status. The test modes
/// run without touching the platform; every other argument vector first
/// enumerates the devices. Any failure ends here: the fixed failure line goes
/// to standard error and the status is 1, with nothing more on standard
/// output.
int run(const std::vector<std::string>& args, Platform& platform, Io& io);

}  // namespace wf::capture
