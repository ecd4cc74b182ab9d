#include "settings/credentials.h"

#include <cctype>
#include <cmath>

#include "url.h"
#include "text.h"

namespace trellisant {
bool Credentials::matches(std::string_view other) const {
  if (!server) return false;
  auto mine = Url::parse(*server);
  auto theirs = Url::parse(other);
  if (!mine || !theirs) return false;
  if (!mine->host || !theirs->host) return false;
  if (mine->scheme.has_value() != theirs->scheme.has_value()) return false;
  if (mine->scheme && *mine->scheme != *theirs->scheme) return false;
  if (asciiLowercase(*mine->host) != asciiLowercase(*theirs->host)) return false;
  int defaultPort = mine->scheme == "https" ? 443 : 80;
  return mine->port.value_or(defaultPort) == theirs->port.value_or(defaultPort);
}

Json Credentials::toJson() const {
  Json json = {
      {"accessToken", accessToken},
      {"refreshToken", refreshToken},
      {"clientId", clientId},
      {"expiresAt", secondsSince2001(expiresAt)},
  };
  if (server) json["server"] = *server;
  if (deviceId) json["deviceId"] = *deviceId;
  if (deviceKey) json["deviceKey"] = *deviceKey;
  return json;
}

Credentials Credentials::fromJson(const Json& json) {
  Fields fields(json, false);
  Credentials out;
  out.accessToken = fields.string("accessToken");
  out.refreshToken = fields.string("refreshToken");
  out.clientId = fields.string("clientId");
  out.expiresAt = fields.date("expiresAt");
  out.server = fields.optionalString("server");
  out.deviceId = fields.optionalString("deviceId");
  out.deviceKey = fields.optionalString("deviceKey");
  return out;
}

}  // namespace trellisant
