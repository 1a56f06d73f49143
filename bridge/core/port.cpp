#include "bridge/core/port.h"

#include <optional>

namespace wf::bridge {

namespace {

std::optional<uint16_t> port_value(const std::string& text) {
  size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
  if (i == text.size()) {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) {
      return std::nullopt;
    }
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

uint16_t parse_port(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--port") {
      continue;
    }
    if (i + 1 == args.size()) {
      break;
    }
    if (auto port = port_value(args[++i])) {
      return *port;
    }
  }
  return DEFAULT_PORT;
}

}  // namespace wf::bridge
