#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "api/http.h"
#include "json.h"

namespace trellisant {

// The server's JSON records. fromJson reads each field from its camelCase key or its
// snake_case form, ignores other keys, and throws DecodingError for a missing required key or
// a value of the wrong type (sizes are decimal strings: a number there is wrong). toJson
// writes camelCase keys and leaves absent optionals out.

// The keys of the JSON bodies the device sends (heartbeat, capability, file-complete,
// progress, enroll): the API client writes them, the sandbox reads them.
namespace BodyKey {
inline constexpr const char *readiness = "readiness", *destinationLabel = "destinationLabel",
                            *fileId = "fileId", *sha256 = "sha256", *state = "state",
                            *bytesDone = "bytesDone", *reason = "reason", *name = "name",
                            *version = "version";
}  // namespace BodyKey

// The progress report's states.
namespace ProgressState {
inline constexpr const char *downloading = "downloading", *waiting = "waiting";
}  // namespace ProgressState

// The form fields of the OAuth token requests and the authorization address, and the grants.
namespace OAuthField {
inline constexpr const char *grantType = "grant_type", *clientId = "client_id", *code = "code",
                            *codeVerifier = "code_verifier", *redirectUri = "redirect_uri",
                            *refreshToken = "refresh_token", *state = "state",
                            *responseType = "response_type", *codeChallenge = "code_challenge",
                            *codeChallengeMethod = "code_challenge_method",
                            *authorizationCodeGrant = "authorization_code",
                            *refreshTokenGrant = "refresh_token";
}  // namespace OAuthField

// One hand-off of footage to this device.
struct Delivery {
  std::string id;
  std::string transferId;
  std::string name;
  std::string projectName;
  std::string companyName;
  std::string totalBytes;  // decimal
  std::int64_t fileCount = 0;
  std::string state;

  static Delivery fromJson(const Json& json);
  Json toJson() const;
  bool operator==(const Delivery&) const = default;
};

// One file of a delivery.
struct ManifestFile {
  std::string id;
  std::string relativePath;  // "/"-separated, validated before use
  std::string size;          // decimal
  std::string fingerprint;
  std::optional<std::string> checksum;
  std::optional<std::string> checksumKind;

  static ManifestFile fromJson(const Json& json);
  Json toJson() const;
  bool operator==(const ManifestFile&) const = default;
};

// A short-lived permission to download one file from its storage provider.
struct Capability {
  std::string url;        // parses as a URL
  http::Headers headers;  // "headers" is required; it may be an empty object
  std::string size;       // decimal
  std::string fingerprint;
  std::optional<std::string> checksum;
  std::optional<std::string> checksumKind;

  static Capability fromJson(const Json& json);
  Json toJson() const;
  bool operator==(const Capability&) const = default;
};

}  // namespace trellisant
