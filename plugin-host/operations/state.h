#pragma once

#include <cstddef>
#include <string>

#include "channel/registry.h"

namespace wf::host {

/// "state", "bypass", "parameters" and "parameter": saving and restoring the
/// chain, bypassing an insert, listing and setting its parameters.
void registerStateOperations(Registry& registry);

/// UTF-8 of a UTF-16 text that ends at its first zero unit or after
/// `maxUnits` units. Unpaired surrogates become U+FFFD, so the result is
/// always valid UTF-8.
std::string utf16ToUtf8(const char16_t* text, std::size_t maxUnits);

}  // namespace wf::host
