#include "editor/error_lines.h"

#include <gtest/gtest.h>

namespace wf::editor {
namespace {

TEST(ErrorLines, OneLinePerErrorCodeAndRequestType) {
  ErrorLines lines;
  struct Case {
    int error;
    int request;
    bool shown;
  };
  // BadAtom (5) from GetProperty (20) again and again, among others.
  const Case cases[] = {
      {5, 20, true},  {5, 20, false}, {5, 18, true},  {3, 20, true},
      {5, 20, false}, {3, 20, false}, {5, 18, false}, {8, 12, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.shown, lines.firstOfItsKind(c.error, c.request)) << c.error << "/" << c.request;
  }
}

}  // namespace
}  // namespace wf::editor
