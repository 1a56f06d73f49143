#include "channel/event_pump.h"

namespace wf::host {

EventPump::~EventPump() = default;

}  // namespace wf::host
