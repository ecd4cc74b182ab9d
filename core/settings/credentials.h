#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "clock.h"
#include "json.h"

namespace trellisant {

// The device's sign-in.
struct Credentials {
  std::optional<std::string> server;
  std::string accessToken;
  std::string refreshToken;
  std::string clientId;
  Date expiresAt;
  std::optional<std::string> deviceId;
  std::optional<std::string> deviceKey;

  // Whether these credentials were issued by `server` (scheme, host and effective port).
  bool matches(std::string_view server) const;

  // Compact stored form; absent optionals are left out, never null.
  Json toJson() const;
  // Throws DecodingError.
  static Credentials fromJson(const Json& json);

  bool operator==(const Credentials&) const = default;
};

}  // namespace trellisant
