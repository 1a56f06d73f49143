#pragma once

#include <ostream>

#include <nlohmann/json.hpp>

namespace wf::capture {

/// Writes `value` as compact JSON and one newline to `out` and flushes it. A
/// failing write is not reported. Text that is not valid UTF-8 (a device
/// name, say) is written with replacement characters instead of failing.
void json(const nlohmann::json& value, std::ostream& out);

}  // namespace wf::capture
