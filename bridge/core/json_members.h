#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/http/error.h"

namespace wf::bridge {

/// The unsigned integer member `key` of the JSON object `object`, as the
/// request bodies define it: absent or null gives nothing; otherwise it must
/// be a number written without sign, fraction or exponent that fits in `T`,
/// else the error "\"<key>\" must be an unsigned <bits>-bit integer".
template <class T>
Result<std::optional<T>> unsigned_member(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return std::optional<T>();
  }
  // Only a number written without sign, fraction or exponent is lexed as
  // unsigned; "-0", "30.0" and "3e1" are not.
  if (!it->is_number_unsigned() ||
      it->template get<uint64_t>() > uint64_t{std::numeric_limits<T>::max()}) {
    return Error(std::string("\"") + key + "\" must be an unsigned " +
                 std::to_string(sizeof(T) * 8) + "-bit integer");
  }
  return std::optional<T>(static_cast<T>(it->template get<uint64_t>()));
}

}  // namespace wf::bridge
