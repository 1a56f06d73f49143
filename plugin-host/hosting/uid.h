#pragma once

#include <string>

#include "pluginterfaces/base/funknown.h"

namespace wf::hosting {

/// A VST3 class ID written as 32 upper-case hexadecimal digits: the 16 bytes
/// in their stored order, two digits each. This is the form "scan" reports and
/// "load" compares against.
std::string uidToString(const Steinberg::TUID uid);

}  // namespace wf::hosting
