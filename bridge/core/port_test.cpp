#include "bridge/core/port.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

struct PortCase {
  std::vector<std::string> args;
  uint16_t port;
};

TEST(ParsePort, ScansArgumentsLeftToRight) {
  const PortCase cases[] = {
      {{}, 19777},
      {{"--port", "8080"}, 8080},
      {{"--port", "+8080"}, 8080},
      {{"--port", "08080"}, 8080},
      {{"--port", "65535"}, 65535},
      {{"--port", "0"}, 0},
      {{"--port", "65536"}, 19777},
      {{"--port", "-1"}, 19777},
      {{"--port", "abc"}, 19777},
      {{"--port", ""}, 19777},
      {{"--port", "+"}, 19777},
      {{"--port", "80a"}, 19777},
      {{"--port", " 80"}, 19777},
      {{"--port", "99999999999999999999"}, 19777},
      {{"--port"}, 19777},
      {{"--port", "abc", "--port", "9000"}, 9000},
      {{"--port", "--port", "9000"}, 19777},
      {{"--port=8080"}, 19777},
      {{"9000", "--port", "7000", "--port", "6000"}, 7000},
      {{"--PORT", "8080"}, 19777},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(c.port, parse_port(c.args)) << shown;
  }
}

}  // namespace
}  // namespace wf::bridge
