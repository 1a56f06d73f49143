#include "doc_examples.h"

#include <regex>
#include <sstream>

namespace wf::host::testing {

namespace {

const std::string FENCE = "```plugin-host";

}  // namespace

std::string expandRepeats(const std::string& line) {
  static const std::regex repeat(R"(<(\d+) x ([^<>]+)>)");
  std::string out;
  auto begin = std::sregex_iterator(line.begin(), line.end(), repeat);
  std::size_t last = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    out.append(line, last, static_cast<std::size_t>(m.position(0)) - last);
    const long count = std::stol(m[1].str());
    for (long i = 0; i < count; ++i) {
      if (i > 0) {
        out += ',';
      }
      out += m[2].str();
    }
    last = static_cast<std::size_t>(m.position(0) + m.length(0));
  }
  out.append(line, last, std::string::npos);
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
