// The stored credentials record and the server comparison made on every request.
#include "url.h"
#include "fuzz_support.h"
#include "settings/credentials.h"

using namespace trellisant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Credentials record;
  try {
    record = Credentials::fromJson(parseJson(fuzz::text(data, size)));
  } catch (const DecodingError&) {
    return 0;
  }
  Credentials again = Credentials::fromJson(parseJson(record.toJson().dump()));
  // The date travels as a double, so only the other fields must match exactly.
  fuzz::require(again.server == record.server && again.accessToken == record.accessToken &&
                    again.refreshToken == record.refreshToken &&
                    again.clientId == record.clientId && again.deviceId == record.deviceId &&
                    again.deviceKey == record.deviceKey,
                "credentials round trip");
  auto drift = again.expiresAt - record.expiresAt;
  fuzz::require(drift < std::chrono::milliseconds(1) && drift > -std::chrono::milliseconds(1),
                "expiresAt round trip");

  if (record.server) {
    // A record matches its own server; the comparison takes any other text without failing.
    auto own = Url::parse(*record.server);
    if (own && own->host) fuzz::require(record.matches(*record.server), "matches its own server");
    record.matches(record.accessToken);
    record.matches(record.clientId);
  }
  return 0;
}
