#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/http/error.h"
#include "bridge/http/request.h"

namespace wf::bridge {

/// Who may use the bridge. Both parts are off when empty; with both off the
/// bridge answers everyone exactly as it always has. Built once at start-up
/// from the environment and read-only afterwards.
struct AccessPolicy {
  /// The secret every request but OPTIONS must present as
  /// "Authorization: Bearer <token>"; empty: none is asked for.
  std::string token;
  /// The exact origins a browser request may come from; empty: any origin,
  /// answered with "Access-Control-Allow-Origin: *".
  std::vector<std::string> origins;
  /// The reply headers for each of `origins`, in the same order, and for a
  /// refused origin (see `headers_for_origin`), built once so that no
  /// request pays for them.
  std::vector<HeaderList> origin_headers;
  HeaderList refused_headers;

  bool open() const { return token.empty() && origins.empty(); }
};

/// The shortest token accepted: anything shorter is guessable.
inline constexpr size_t MIN_TOKEN_BYTES = 16;

/// Builds the policy from the texts of WRENFIELD_BRIDGE_TOKEN and
/// WRENFIELD_BRIDGE_ORIGINS (absent or empty: off). Text that cannot be used
/// is an error with a short reason that never quotes the token: a token
/// shorter than 16 bytes or with a byte outside visible ASCII, an empty list
/// entry, or an entry that is not a lower-case "scheme://host[:port]" as a
/// browser sends it. List entries are separated by commas; blanks around an
/// entry are ignored.
Result<AccessPolicy> parse_access_policy(std::optional<std::string_view> token,
                                         std::optional<std::string_view> origins);

/// The outcome of checking one request against a policy.
struct AccessCheck {
  /// 0 when the request may go on; otherwise the status of the designed
  /// reply that answers it instead (403 or 401) ...
  uint16_t status = 0;
  /// ... and that reply's error message.
  std::string_view message;
  /// Set when the reply must not say "Access-Control-Allow-Origin: *":
  /// the request's origin when the list names it (the reply, a 401 too,
  /// names it instead), or empty for an origin the list does not name (its
  /// 403 names no origin, so the page cannot read even that). Points into
  /// the policy, as does `reply_headers`, the designed reply headers for it.
  std::optional<std::string_view> reply_origin;
  const HeaderList* reply_headers = nullptr;

  bool passed() const { return status == 0; }
};

/// Checks the origin first, then the token. A request without "Origin"
/// passes the origin check (programs that are not browsers send none); one
/// whose origin is not listed gets 403 "Origin not allowed", OPTIONS
/// included, readable by no page. Every request but OPTIONS must then carry the token, under a
/// header name and a scheme in any letter case, or it gets 401
/// "Unauthorized". The token is compared in time that depends only on its
/// own length.
AccessCheck check_access(const Request& request, const AccessPolicy& policy);

/// True when `given` equals `secret`, in time that depends only on the
/// length of `secret`.
bool same_secret(std::string_view given, std::string_view secret);

/// `headers` with "Access-Control-Allow-Origin" set to `origin`, or left
/// out when `origin` is empty, and "Vary: Origin" added at the end.
HeaderList headers_for_origin(const HeaderList& headers, std::string_view origin);

/// Wraps `request` so that its reply, whoever sends it, names the origin
/// of `check` (see `headers_for_origin`); `check` points into a policy that
/// outlives the request. Dropped unanswered, the wrapped request is still
/// answered with the empty 500.
RequestPtr reply_to_origin(RequestPtr request, const AccessCheck& check);

}  // namespace wf::bridge
