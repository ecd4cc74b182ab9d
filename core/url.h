#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trellisant {

// A parsed absolute or relative URL. Parts keep the case they were written in.
struct Url {
  std::string text;                    // the string as given
  std::optional<std::string> scheme;   // absent for a relative reference
  std::optional<std::string> host;     // IPv6 hosts keep their brackets, as in "[::1]"
  std::optional<int> port;             // only when written explicitly
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::string path;
  std::optional<std::string> query;    // without "?"

  // Nothing when the text is not a URL.
  static std::optional<Url> parse(std::string_view text);

  // scheme://host[:port], the parts as written.
  std::string origin() const;
  // Same scheme, host (exact text) and port; an absent port equals only an absent port.
  bool sameOrigin(const Url& other) const;
  // origin() + `absolutePath` (which starts with "/" and may carry a query): any path of the
  // URL itself is dropped.
  std::string onOrigin(std::string_view absolutePath) const;
  // Decoded query items in order; an item without "=" has no value.
  std::vector<std::pair<std::string, std::optional<std::string>>> queryItems() const;
  // The value of the first item named `name`, if that item has a value.
  std::optional<std::string> firstQueryValue(std::string_view name) const;
};

// `reference` (absolute, host-relative or relative) resolved against `base` as a browser
// would; nothing when either is not a URL.
std::optional<std::string> resolveReference(const std::string& base, const std::string& reference);

// Percent-encodes everything but the unreserved characters of RFC 3986.
std::string percentEncode(std::string_view text);
std::string percentDecode(std::string_view text);

// name=value pairs joined by "&", each part percent-encoded.
std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace trellisant
