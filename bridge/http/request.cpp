#include "bridge/http/request.h"

#include <algorithm>

namespace wf::bridge {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::string_view Request::path() const {
  std::string_view t = target_;
  return t.substr(0, t.find('?'));
}

std::optional<std::string_view> Request::header(std::string_view name) const {
  for (const auto& [k, v] : headers_) {
    if (iequals(k, name)) {
      return std::string_view(v);
    }
  }
  return std::nullopt;
}

Result<std::string> Request::take_body_text() {
  std::string body = take_body();
  if (!valid_utf8(body)) {
    return Error("request body is not valid UTF-8");
  }
  return body;
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n) {
      return false;
    }
    for (size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const uint32_t MIN[] = {0, 0x80, 0x800, 0x10000};
    if (cp < MIN[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += n + 1;
  }
  return true;
}

MemoryRequest::~MemoryRequest() {
  if (!reply_->answered) {
    reply_->answered = true;
    reply_->status = 500;
  }
}

Status MemoryRequest::respond(uint16_t status, const HeaderList& headers, std::string body) {
  reply_->answered = true;
  reply_->status = status;
  reply_->headers = headers;
  reply_->body = std::move(body);
  return {};
}

}  // namespace wf::bridge
