#include "bridge/core/access.h"

#include <algorithm>

#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

bool is_lower_alpha(char c) {
  return c >= 'a' && c <= 'z';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back()))
    s.remove_suffix(1);
  return s;
}

// Browsers serialise an origin in lower case, without a path, without
// default-looking decorations such as a leading zero in the port; an entry in
// any other spelling would never match, so it is refused rather than kept.
bool valid_port(std::string_view port) {
  if (port.empty() || port.size() > 5 || (port.size() > 1 && port.front() == '0') ||
      !std::all_of(port.begin(), port.end(), is_digit)) {
    return false;
  }
  return std::stoul(std::string(port)) <= 65535;
}

bool valid_host(std::string_view host) {
  if (host.empty()) {
    return false;
  }
  if (host.front() == '[') {
    return host.size() > 2 && host.back() == ']' &&
           std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
             return is_digit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.';
           });
  }
  return std::all_of(host.begin(), host.end(), [](char c) {
    return is_lower_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_';
  });
}

bool valid_origin(std::string_view origin) {
  const size_t sep = origin.find("://");
  if (sep == std::string_view::npos || sep == 0 || !is_lower_alpha(origin.front())) {
    return false;
  }
  const std::string_view scheme = origin.substr(0, sep);
  if (!std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return is_lower_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.';
      })) {
    return false;
  }
  std::string_view authority = origin.substr(sep + 3);
  // An IPv6 literal holds colons of its own; the port follows its bracket.
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    return valid_host(authority.substr(0, colon)) && valid_port(authority.substr(colon + 1));
  }
  return valid_host(authority);
}

Result<std::vector<std::string>> parse_origins(std::string_view text) {
  std::vector<std::string> origins;
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view entry = trim(text.substr(0, comma));
    if (entry.empty()) {
      return Error("WRENFIELD_BRIDGE_ORIGINS has an empty entry");
    }
    if (!valid_origin(entry)) {
      return Error("WRENFIELD_BRIDGE_ORIGINS: \"" + std::string(entry) +
                   "\" is not of the form scheme://host[:port] in lower case");
    }
    origins.emplace_back(entry);
    if (comma == std::string_view::npos) {
      return origins;
    }
    text.remove_prefix(comma + 1);
  }
}

// The token travels in a header value, where blanks at its ends are
// stripped and other bytes may be mangled; only visible ASCII survives.
Status validate_token(std::string_view token) {
  if (token.size() < MIN_TOKEN_BYTES) {
    return Error("WRENFIELD_BRIDGE_TOKEN is shorter than 16 bytes");
  }
  if (!std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; })) {
    return Error("WRENFIELD_BRIDGE_TOKEN may hold visible ASCII characters only");
  }
  return {};
}

// "Bearer <credentials>", the scheme in any letter case.
std::optional<std::string_view> bearer_credentials(std::string_view value) {
  value = trim(value);
  const size_t space = value.find_first_of(" \t");
  if (space == std::string_view::npos || !iequals(value.substr(0, space), "bearer")) {
    return std::nullopt;
  }
  return trim(value.substr(space));
}

bool carries_token(const Request& request, std::string_view token) {
  const auto authorization = request.header("Authorization");
  if (!authorization) {
    return false;
  }
  const auto credentials = bearer_credentials(*authorization);
  return credentials && same_secret(*credentials, token);
}

class OriginReplyRequest : public Request {
 public:
  OriginReplyRequest(RequestPtr inner, std::string_view origin, const HeaderList* designed)
      : Request(inner->method(), inner->target(), inner->headers(), inner->take_body()),
        inner_(std::move(inner)),
        origin_(origin),
        designed_(designed) {}

  Status respond(uint16_t status, const HeaderList& headers, std::string body) override {
    // Every designed reply carries the one static header list; its variant
    // for this origin was built with the policy.
    if (designed_ && &headers == &reply_headers()) {
      return inner_->respond(status, *designed_, std::move(body));
    }
    return inner_->respond(status, headers_for_origin(headers, origin_), std::move(body));
  }

 private:
  RequestPtr inner_;
  std::string_view origin_;
  const HeaderList* designed_;
};

}  // namespace

Result<AccessPolicy> parse_access_policy(std::optional<std::string_view> token,
                                         std::optional<std::string_view> origins) {
  AccessPolicy policy;
  if (token && !token->empty()) {
    if (Status s = validate_token(*token); !s) {
      return s.error();
    }
    policy.token = std::string(*token);
  }
  if (origins && !origins->empty()) {
    auto list = parse_origins(*origins);
    if (!list) {
      return list.error();
    }
    policy.origins = std::move(*list);
    for (const std::string& origin : policy.origins) {
      policy.origin_headers.push_back(headers_for_origin(reply_headers(), origin));
    }
    policy.refused_headers = headers_for_origin(reply_headers(), "");
  }
  return policy;
}

bool same_secret(std::string_view given, std::string_view secret) {
  // Every byte of the secret is visited whatever the input, so the time
  // taken tells nothing about how much of a guess was right.
  volatile unsigned char diff = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < secret.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff = diff | (g ^ static_cast<unsigned char>(secret[i]));
  }
  return diff == 0;
}

AccessCheck check_access(const Request& request, const AccessPolicy& policy) {
  AccessCheck check;
  if (!policy.origins.empty()) {
    if (const auto origin = request.header("Origin")) {
      const auto it = std::find(policy.origins.begin(), policy.origins.end(), *origin);
      if (it == policy.origins.end()) {
        check.status = 403;
        check.message = "Origin not allowed";
        check.reply_origin = std::string_view();
        check.reply_headers = policy.refused_headers.empty() ? nullptr : &policy.refused_headers;
        return check;
      }
      const auto index = static_cast<size_t>(it - policy.origins.begin());
      check.reply_origin = *it;
      check.reply_headers =
          index < policy.origin_headers.size() ? &policy.origin_headers[index] : nullptr;
    }
  }
  // A preflight carries no credentials by design; it only learns what the
  // headers above already say.
  if (!policy.token.empty() && request.method() != "OPTIONS" &&
      !carries_token(request, policy.token)) {
    check.status = 401;
    check.message = "Unauthorized";
  }
  return check;
}

HeaderList headers_for_origin(const HeaderList& headers, std::string_view origin) {
  HeaderList out;
  out.reserve(headers.size() + 1);
  for (const auto& [name, value] : headers) {
    if (!iequals(name, "Access-Control-Allow-Origin")) {
      out.emplace_back(name, value);
    } else if (!origin.empty()) {
      out.emplace_back(name, origin);
    }
  }
  // The reply differs by origin; a cache must not hand one origin's reply
  // to another.
  out.emplace_back("Vary", "Origin");
  return out;
}

RequestPtr reply_to_origin(RequestPtr request, const AccessCheck& check) {
  return std::make_unique<OriginReplyRequest>(std::move(request), check.reply_origin.value_or(""),
                                              check.reply_headers);
}

}  // namespace wf::bridge
