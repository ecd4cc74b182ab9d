// The stored credentials record and the server comparison made on every request.
#include "fuzz_support.h"
#include "settings/credentials.h"
#include "url.h"

using namespace trellisant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json json;
  if (!fuzz::json(data, size, json)) return 0;
  auto record = fuzz::roundTrip<Credentials>(json, "credentials round trip", [](const auto& a, const auto& b) {
    return a.server == b.server && a.accessToken == b.accessToken && a.refreshToken == b.refreshToken &&
           a.clientId == b.clientId && a.deviceId == b.deviceId && a.deviceKey == b.deviceKey &&
           fuzz::closeTo(a.expiresAt, b.expiresAt);
  });
  if (!record || !record->server) return 0;
  // A record matches its own server; the comparison takes any other text without failing.
  auto own = Url::parse(*record->server);
  if (own && own->host) fuzz::require(record->matches(*record->server), "matches its own server");
  record->matches(record->accessToken);
  record->matches(record->clientId);
  return 0;
}
