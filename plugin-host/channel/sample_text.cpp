#include "channel/sample_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace wf::host {

namespace {

constexpr size_t NONE = std::string_view::npos;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

size_t skipSpace(std::string_view s, size_t i) {
  while (i < s.size() && isSpace(s[i])) {
    ++i;
  }
  return i;
}

// The index after the closing quote of the string whose opening quote is at
// `i`, or NONE when it does not close. `escaped` tells whether it holds a
// backslash.
size_t stringEnd(std::string_view s, size_t i, bool& escaped) {
  escaped = false;
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      escaped = true;
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return NONE;
}

size_t skipDigits(std::string_view s, size_t i) {
  while (i < s.size() && isDigit(s[i])) {
    ++i;
  }
  return i;
}

// One number literal at `i` in the strict JSON grammar, converted the way a
// parsed document converts it to float: integers that fit 64 bits go through
// the integer, the rest through the correctly rounded double.
bool readNumber(std::string_view s, size_t& i, float& out) {
  const size_t begin = i;
  if (i < s.size() && s[i] == '-') {
    ++i;
  }
  if (i >= s.size()) {
    return false;
  }
  if (s[i] == '0') {
    ++i;
  } else if (s[i] >= '1' && s[i] <= '9') {
    i = skipDigits(s, i);
  } else {
    return false;
  }
  bool integral = true;
  if (i < s.size() && s[i] == '.') {
    integral = false;
    const size_t digits = ++i;
    if ((i = skipDigits(s, i)) == digits) {
      return false;
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    integral = false;
    if (++i < s.size() && (s[i] == '+' || s[i] == '-')) {
      ++i;
    }
    const size_t digits = i;
    if ((i = skipDigits(s, i)) == digits) {
      return false;
    }
  }
  const char* first = s.data() + begin;
  const char* last = s.data() + i;
  if (integral) {
    if (*first == '-') {
      int64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        out = static_cast<float>(value);
        return true;
      }
    } else {
      uint64_t value = 0;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        out = static_cast<float>(value);
        return true;
      }
    }
  }
  // Out of range here means overflow, which the parser refuses, or underflow,
  // which it accepts; the ordinary parser decides both.
  double value = 0;
  const auto read = std::from_chars(first, last, value);
  if (read.ec != std::errc() || read.ptr != last) {
    return false;
  }
  out = static_cast<float>(value);
  return true;
}

// The array at `i` (its opening bracket); `i` ends after the closing one.
bool readArray(std::string_view s, size_t& i, std::vector<float>& samples) {
  samples.clear();
  i = skipSpace(s, i + 1);
  if (i < s.size() && s[i] == ']') {
    ++i;
    return true;
  }
  for (;;) {
    float value;
    if (!readNumber(s, i, value)) {
      return false;
    }
    samples.push_back(value);
    i = skipSpace(s, i);
    if (i >= s.size()) {
      return false;
    }
    if (s[i] == ']') {
      ++i;
      return true;
    }
    if (s[i] != ',') {
      return false;
    }
    i = skipSpace(s, i + 1);
  }
}

char* appendExponent(char* o, int e) {
  *o++ = e < 0 ? '-' : '+';
  e = e < 0 ? -e : e;
  if (e >= 100) {
    *o++ = static_cast<char>('0' + e / 100);
    e %= 100;
    *o++ = static_cast<char>('0' + e / 10);
  } else {
    *o++ = static_cast<char>('0' + e / 10);
  }
  *o++ = static_cast<char>('0' + e % 10);
  return o;
}

// The serialiser's layout for a double: plain digits with a decimal point for
// decimal exponents from -4 up to 15, else one digit, a fraction and an
// exponent of at least two digits.
char* writeDouble(char* o, double v) {
  if (!std::isfinite(v)) {
    std::memcpy(o, "null", 4);
    return o + 4;
  }
  if (std::signbit(v)) {
    *o++ = '-';
    v = -v;
  }
  if (v == 0) {
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  // Shortest round-trip digits and their exponent: "D.DDDDe-XX" or "De+XX".
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* e = end - 4;
  while (*e != 'e') {
    --e;
  }
  char digits[24];
  digits[0] = sci[0];
  int k = 1;
  if (sci[1] == '.') {
    k = static_cast<int>(e - sci) - 1;
    std::memcpy(digits + 1, sci + 2, static_cast<size_t>(k - 1));
  }
  int exponent = 0;
  for (const char* p = e + 2; p < end; ++p) {
    exponent = exponent * 10 + (*p - '0');
  }
  if (e[1] == '-') {
    exponent = -exponent;
  }
  // The decimal point sits after digit n.
  const int n = exponent + 1;
  constexpr int MIN_EXP = -4;
  constexpr int MAX_EXP = 15;
  if (k <= n && n <= MAX_EXP) {
    std::memcpy(o, digits, static_cast<size_t>(k));
    o += k;
    std::memset(o, '0', static_cast<size_t>(n - k));
    o += n - k;
    *o++ = '.';
    *o++ = '0';
  } else if (0 < n && n <= MAX_EXP) {
    std::memcpy(o, digits, static_cast<size_t>(n));
    o += n;
    *o++ = '.';
    std::memcpy(o, digits + n, static_cast<size_t>(k - n));
    o += k - n;
  } else if (MIN_EXP < n && n <= 0) {
    *o++ = '0';
    *o++ = '.';
    std::memset(o, '0', static_cast<size_t>(-n));
    o += -n;
    std::memcpy(o, digits, static_cast<size_t>(k));
    o += k;
  } else {
    *o++ = digits[0];
    if (k > 1) {
      *o++ = '.';
      std::memcpy(o, digits + 1, static_cast<size_t>(k - 1));
      o += k - 1;
    }
    *o++ = 'e';
    o = appendExponent(o, n - 1);
  }
  return o;
}

}  // namespace

bool extractSamples(std::string_view line, std::vector<float>& samples, std::string& rest) {
  size_t i = skipSpace(line, 0);
  if (i >= line.size() || line[i] != '{') {
    return false;
  }
  // Walks the line's structure only far enough to know which strings are
  // member names of the top-level object; the ordinary parser checks the
  // rest once the array is out.
  int depth = 0;
  size_t arrayBegin = NONE;
  size_t arrayEnd = NONE;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '"') {
      bool escaped = false;
      const size_t end = stringEnd(line, i, escaped);
      if (end == NONE) {
        return false;
      }
      size_t next = skipSpace(line, end);
      if (depth == 1 && next < line.size() && line[next] == ':') {
        // A member name; one written with escapes might spell "pcm".
        if (escaped) {
          return false;
        }
        if (line.substr(i + 1, end - i - 2) == "pcm") {
          next = skipSpace(line, next + 1);
          if (arrayBegin != NONE || next >= line.size() || line[next] != '[') {
            return false;
          }
          arrayBegin = next;
          if (!readArray(line, next, samples)) {
            return false;
          }
          arrayEnd = next;
          i = next;
          continue;
        }
      }
      i = end;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
    ++i;
  }
  if (arrayBegin == NONE) {
    return false;
  }
  // The stand-in is an array too: whatever follows the samples must read
  // after it exactly as it reads after them. A number would join a trailing
  // ".5" or "e5" into a literal the whole line does not have.
  rest.clear();
  rest.reserve(line.size() - (arrayEnd - arrayBegin) + 2);
  rest.append(line.substr(0, arrayBegin));
  rest.append("[]");
  rest.append(line.substr(arrayEnd));
  return true;
}

void appendSamples(std::string& out, const std::vector<float>& samples) {
  // At most 25 characters per number: sign, 17 digits, point, exponent.
  constexpr size_t WIDEST = 32;
  const size_t start = out.size();
  out.resize(start + 2 + samples.size() * WIDEST);
  char* o = out.data() + start;
  *o++ = '[';
  for (size_t n = 0; n < samples.size(); ++n) {
    if (n > 0) {
      *o++ = ',';
    }
    o = writeDouble(o, static_cast<double>(samples[n]));
  }
  *o++ = ']';
  out.resize(static_cast<size_t>(o - out.data()));
}

}  // namespace wf::host
