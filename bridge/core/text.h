#pragma once

#include <string>
#include <string_view>

namespace wf::bridge {

/// True for the code points that Unicode calls White_Space (ASCII blanks,
/// NEL, NBSP and the wide spaces and separators).
bool is_unicode_space(char32_t cp);

/// `text` without leading and trailing white space. `text` is UTF-8; bytes
/// that do not decode are not white space.
std::string_view trim_whitespace(std::string_view text);

/// True when `text` holds nothing but white space (or nothing at all).
bool is_blank(std::string_view text);

/// `bytes` decoded as UTF-8 with U+FFFD in place of every invalid sequence:
/// each maximal prefix of a well-formed sequence that breaks off, and each
/// byte that cannot start one, becomes one U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace wf::bridge
