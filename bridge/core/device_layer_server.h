#pragma once

#include "bridge/core/error.h"

namespace wf::bridge {

/// Checks that the sound server is in a state the audio library can
/// enumerate without failing hard: RtAudio's PulseAudio back end crashes on
/// a server that has no default sink or source, so such a server is
/// reported as an error instead. Success when no server answers (the
/// library then finds its own way) or there is nothing to check.
Status check_sound_server();

}  // namespace wf::bridge
