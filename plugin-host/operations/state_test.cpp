#include "operations/state.h"

#include <gtest/gtest.h>

namespace wf::host {
namespace {

TEST(Utf16ToUtf8Test, ConvertsEveryPlaneAndReplacesUnpairedSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"Gain", "Gain"},
      {u"Verst\u00e4rkung", "Verst\xc3\xa4rkung"},
      {u"\u97f3\u91cf", "\xe9\x9f\xb3\xe9\x87\x8f"},
      {u"\U0001F3B9", "\xf0\x9f\x8e\xb9"},
      {std::u16string(1, char16_t(0xD800)) + u"x", "\xef\xbf\xbdx"},
      {std::u16string(1, char16_t(0xDC00)), "\xef\xbf\xbd"},
      {u"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, utf16ToUtf8(c.in.c_str(), c.in.size() + 1));
  }
}

TEST(Utf16ToUtf8Test, StopsAtTheLimitWithoutATerminator) {
  const char16_t text[4] = {u'a', u'b', u'c', u'd'};
  EXPECT_EQ("abc", utf16ToUtf8(text, 3));
  // A high surrogate in the last unit has no partner inside the limit.
  const char16_t split[2] = {u'a', char16_t(0xD83C)};
  EXPECT_EQ("a\xef\xbf\xbd", utf16ToUtf8(split, 2));
}

}  // namespace
}  // namespace wf::host
