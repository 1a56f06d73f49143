#include "channel/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace wf::host {
namespace {

// A source that hands out the input in pieces cut at the given offsets.
LineReader::Source piecewise(std::string input, std::vector<size_t> cuts) {
  auto state = std::make_shared<std::pair<std::string, std::vector<size_t>>>(std::move(input),
                                                                             std::move(cuts));
  auto position = std::make_shared<size_t>(0);
  return [state, position](char* buffer, size_t n) -> ssize_t {
    const std::string& text = state->first;
    size_t end = text.size();
    for (size_t cut : state->second) {
      if (cut > *position) {
        end = std::min(end, cut);
        break;
      }
    }
    const size_t take = std::min(n, end - *position);
    std::memcpy(buffer, text.data() + *position, take);
    *position += take;
    return static_cast<ssize_t>(take);
  };
}

struct Outcome {
  std::vector<std::string> lines;
  LineReader::Status last;
};

Outcome readAll(LineReader reader) {
  Outcome outcome;
  std::string line;
  while ((outcome.last = reader.next(line)) == LineReader::Status::Line) {
    outcome.lines.push_back(line);
  }
  return outcome;
}

TEST(LineReader, SplitsLinesWhereverTheInputIsCut) {
  const std::string input = "{\"id\":1}\n\n  \n{\"op\":\"x\"}\r\nlast";
  const std::vector<std::string> expected = {"{\"id\":1}", "", "  ", "{\"op\":\"x\"}\r", "last"};
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    Outcome outcome = readAll(LineReader(piecewise(input, {cut})));
    EXPECT_EQ(expected, outcome.lines) << "cut at " << cut;
    EXPECT_EQ(LineReader::Status::End, outcome.last);
  }
}

TEST(LineReader, KeepsALineOfExactlyTheLimit) {
  const size_t limit = 16;
  const std::string exact(limit, 'a');
  Outcome outcome = readAll(LineReader(piecewise(exact + "\nnext\n", {5}), limit));
  EXPECT_EQ((std::vector<std::string>{exact, "next"}), outcome.lines);
  EXPECT_EQ(LineReader::Status::End, outcome.last);
}

TEST(LineReader, StopsAtALineLongerThanTheLimit) {
  const size_t limit = 16;
  const std::string input = "first\n" + std::string(limit + 1, 'b') + "\nnever\n";
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    Outcome outcome = readAll(LineReader(piecewise(input, {cut}), limit));
    EXPECT_EQ(std::vector<std::string>{"first"}, outcome.lines) << "cut at " << cut;
    EXPECT_EQ(LineReader::Status::TooLong, outcome.last);
  }
}

TEST(LineReader, StopsAtAnUnterminatedLineLongerThanTheLimit) {
  Outcome outcome = readAll(LineReader(piecewise(std::string(40, 'c'), {}), 16));
  EXPECT_TRUE(outcome.lines.empty());
  EXPECT_EQ(LineReader::Status::TooLong, outcome.last);
}

}  // namespace
}  // namespace wf::host
