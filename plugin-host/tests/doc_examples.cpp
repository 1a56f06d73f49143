#include "doc_examples.h"

#include <cctype>
#include <sstream>

namespace wf::host::testing {

namespace {

const std::string FENCE = "```plugin-host";

}  // namespace

std::string expandRepeats(const std::string& line) {
  std::string out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t open = line.find('<', at);
    const std::size_t close = open == std::string::npos ? open : line.find('>', open);
    const std::size_t times = close == std::string::npos ? close : line.find(" x ", open);
    std::size_t digits = open == std::string::npos ? 0 : open + 1;
    while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) {
      ++digits;
    }
    if (times == std::string::npos || times > close || digits != times || digits == open + 1) {
      // Not a repeat: copy up to and including this '<' and look further.
      const std::size_t keep = open == std::string::npos ? line.size() : open + 1;
      out.append(line, at, keep - at);
      at = keep;
      continue;
    }
    out.append(line, at, open - at);
    const long count = std::stol(line.substr(open + 1, times - open - 1));
    const std::string value = line.substr(times + 3, close - times - 3);
    for (long i = 0; i < count; ++i) {
      out += (i > 0 ? "," : "") + value;
    }
    at = close + 1;
  }
  return out;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

ExampleParse parseExamples(const std::string& markdown) {
  ExampleParse parse;
  std::istringstream in(markdown);
  std::string line;
  int number = 0;
  ExampleBlock* open = nullptr;
  auto fail = [&](const std::string& why) {
    parse.error = "line " + std::to_string(number) + ": " + why;
    parse.blocks.clear();
  };
  while (std::getline(in, line)) {
    ++number;
    if (open == nullptr) {
      if (line == FENCE) {
        parse.blocks.push_back({number, {}});
        open = &parse.blocks.back();
      } else if (line.rfind(FENCE, 0) == 0) {
        fail("an example fence takes no other words");
        return parse;
      }
      continue;
    }
    if (line == "```") {
      if (open->steps.empty()) {
        fail("an example block without a request");
        return parse;
      }
      open = nullptr;
    } else if (line.rfind("> ", 0) == 0) {
      open->steps.push_back({expandRepeats(line.substr(2)), {}});
    } else if (line.rfind("< ", 0) == 0) {
      if (open->steps.empty()) {
        fail("a reply before any request");
        return parse;
      }
      open->steps.back().replies.push_back(expandRepeats(line.substr(2)));
    } else {
      fail("an example line starts with \"> \" or \"< \"");
      return parse;
    }
  }
  if (open != nullptr) {
    fail("the example block that starts on line " + std::to_string(open->line) + " is not closed");
  }
  return parse;
}

}  // namespace wf::host::testing
