#include "bridge/core/text.h"

#include <cstdint>
#include <optional>

namespace wf::bridge {

namespace {

struct Decoded {
  char32_t cp;
  size_t length;  // bytes consumed; for an invalid sequence, its maximal well-formed prefix
  bool valid;
};

// Bounds of the second byte for each lead byte (the first continuation byte
// is what rules out overlong forms, surrogates and values past U+10FFFF).
Decoded decode_one(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) {
    return {c, 1, true};
  }
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0)
      lo = 0xA0;
    if (c == 0xED)
      hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0)
      lo = 0x90;
    if (c == 0xF4)
      hi = 0x8F;
  } else {
    return {0xFFFD, 1, false};
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= left) {
      return {0xFFFD, i, false};
    }
    const unsigned char b = p[i];
    const bool in_range = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!in_range) {
      return {0xFFFD, i, false};
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, i, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length in bytes of the white-space code point that ends at `end`, or 0.
size_t trailing_space(std::string_view text, size_t end) {
  // A code point is at most four bytes long; try each possible start.
  for (size_t len = 1; len <= 4 && len <= end; ++len) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data() + end - len);
    if ((*p & 0xC0) == 0x80 && len < 4 && len < end) {
      continue;  // inside a sequence: look further back for its lead byte
    }
    Decoded d = decode_one(p, len);
    if (d.length == len) {
      return d.valid && is_unicode_space(d.cp) ? len : 0;
    }
  }
  return 0;
}

}  // namespace

bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string_view trim_whitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data() + begin);
    Decoded d = decode_one(p, text.size() - begin);
    if (!d.valid || !is_unicode_space(d.cp)) {
      break;
    }
    begin += d.length;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t len = trailing_space(text, end);
    if (len == 0) {
      break;
    }
    end -= len;
  }
  return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) {
  return trim_whitespace(text).empty();
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < bytes.size()) {
    Decoded d = decode_one(p + i, bytes.size() - i);
    if (d.valid && d.cp < 0x80) {
      out += static_cast<char>(d.cp);
    } else if (d.valid) {
      out.append(bytes.substr(i, d.length));
    } else {
      append_utf8(out, 0xFFFD);
    }
    i += d.length;
  }
  return out;
}

}  // namespace wf::bridge
