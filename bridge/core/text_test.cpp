#include "bridge/core/text.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {

TEST(Text, TrimsUnicodeWhiteSpaceAtBothEnds) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {" \t\r\n\v\f rtmp://h/a b \n", "rtmp://h/a b"},
      {"\xC2\xA0rtmp://h\xE3\x80\x80", "rtmp://h"},  // NBSP, ideographic space
      {"\xE2\x80\x82x\xE2\x80\xA8", "x"},            // en space, line separator
      {"\xC2\x85x\xE2\x80\x8B", "x\xE2\x80\x8B"},    // NEL; zero width is no space
      {"caf\xC3\xA9 ", "caf\xC3\xA9"},
      {"\xFF x \xFF", "\xFF x \xFF"},  // undecodable bytes stay
      {"x\xA0", "x\xA0"},              // a lone continuation byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.out, trim_whitespace(c.in)) << c.in;
  }
  EXPECT_TRUE(is_blank(" \xC2\xA0\t"));
  EXPECT_FALSE(is_blank(" . "));
}

}  // namespace
}  // namespace wf::bridge
