#include "bridge/media/progress.h"

#include <charconv>
#include <cmath>

namespace wf::bridge {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// A finite, non-negative decimal taking the whole text; anything else
// (including "N/A") is not a value.
bool parse_number(std::string_view text, double& value) {
  double v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(v) || v < 0) {
    return false;
  }
  value = v;
  return true;
}

bool parse_count(std::string_view text, uint64_t& value) {
  uint64_t v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return false;
  }
  value = v;
  return true;
}

}  // namespace

void ProgressParser::push(std::string_view bytes, std::vector<EncoderProgress>& out) {
  while (!bytes.empty()) {
    const size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!overlong_) {
      if (line_.size() + piece.size() > PROGRESS_LINE_LIMIT) {
        overlong_ = true;
        line_.clear();
      } else {
        line_.append(piece);
      }
    }
    if (newline == std::string_view::npos) {
      return;
    }
    bytes.remove_prefix(newline + 1);
    if (!overlong_) {
      line(line_, out);
    }
    line_.clear();
    overlong_ = false;
  }
}

void ProgressParser::line(std::string_view text, std::vector<EncoderProgress>& out) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    return;
  }
  const std::string_view key = trim(text.substr(0, equals));
  std::string_view value = trim(text.substr(equals + 1));
  if (key == "fps") {
    parse_number(value, current_.fps);
  } else if (key == "speed") {
    if (!value.empty() && value.back() == 'x') {
      value.remove_suffix(1);
    }
    parse_number(trim(value), current_.speed);
  } else if (key == "drop_frames") {
    parse_count(value, current_.dropped_frames);
  } else if (key == "dup_frames") {
    parse_count(value, current_.duplicated_frames);
  } else if (key == "progress" && (value == "continue" || value == "end")) {
    out.push_back(current_);
  }
}

}  // namespace wf::bridge
