#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wf::bridge {

constexpr uint16_t DEFAULT_PORT = 19777;

/// The listening port from the arguments after the program name: the first
/// valid value following a `--port` argument (an optional "+" and decimal
/// digits up to 65535, leading zeros allowed); 19777 when there is none.
/// `--port` consumes the next argument whatever it holds.
uint16_t parse_port(const std::vector<std::string>& args);

}  // namespace wf::bridge
