#pragma once

#include <string>
#include <vector>

namespace wf::host::testing {

/// One request line of a documented session and the reply lines that follow
/// it (none for a request the host does not answer, such as an empty line).
struct ExampleStep {
  std::string request;
  std::vector<std::string> replies;
};

/// One fenced ```plugin-host block of a Markdown file: a session against a
/// fresh plugin-host, run step by step.
struct ExampleBlock {
  int line = 0;  // 1-based line of the opening fence, for messages
  std::vector<ExampleStep> steps;
};

/// The example blocks of a Markdown text, or an error naming the line that
/// breaks the format. Inside a block every line is "> " and a request, or
/// "< " and a reply to the request above it; `<N x V>` in either stands for
/// N copies of V separated by commas (a block of samples).
struct ExampleParse {
  std::vector<ExampleBlock> blocks;
  std::string error;
};
ExampleParse parseExamples(const std::string& markdown);

/// Expands every `<N x V>` of a line.
std::string expandRepeats(const std::string& line);

/// Replaces every occurrence of `from` in `text` by `to`.
std::string replaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace wf::host::testing
