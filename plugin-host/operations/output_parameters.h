#pragma once

#include "channel/host_state.h"

namespace wf::host {

/// Main thread, once per turn: hands every output parameter value that the
/// chain's inserts reported since the last turn to their controllers with
/// setParamNormalized, so that "parameters" and open editors show live meters.
/// Controller calls stay on the main thread; the audio worker only fills each
/// insert's mailbox.
void deliverOutputParameters(HostState& host);

}  // namespace wf::host
