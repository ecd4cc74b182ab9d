#include <gtest/gtest.h>

#include <chrono>

#include "settings/credentials.h"

using namespace trellisant;

namespace {

Credentials signedIn(std::optional<std::string> server) {
  Credentials c;
  c.server = std::move(server);
  c.accessToken = "access";
  c.refreshToken = "refresh";
  c.clientId = "trellisant-native";
  c.expiresAt = dateFromReference(760000000);
  return c;
}

}  // namespace

TEST(Credentials, MatchesServerByScheme_Host_AndEffectivePort) {
  EXPECT_FALSE(signedIn(std::nullopt).matches("https://trellisant.example"));
  auto https = signedIn("https://Trellisant.Example");
  EXPECT_TRUE(https.matches("https://trellisant.example:443/"));
  EXPECT_TRUE(https.matches("https://TRELLISANT.example/some/path?q=1"));
  EXPECT_FALSE(https.matches("http://trellisant.example"));
  EXPECT_FALSE(https.matches("HTTPS://trellisant.example")) << "schemes compare as written";
  EXPECT_FALSE(https.matches("https://trellisant.example:8443"));
  EXPECT_FALSE(https.matches("https://other.example"));
  EXPECT_FALSE(https.matches("trellisant.example")) << "no host";
  EXPECT_FALSE(https.matches("https://exa mple"));
  EXPECT_FALSE(https.matches(""));

  EXPECT_TRUE(signedIn("https://trellisant.example:8443").matches("https://trellisant.example:8443/x"));
  EXPECT_FALSE(signedIn("https://trellisant.example:8443").matches("https://trellisant.example"));
  EXPECT_TRUE(signedIn("http://localhost").matches("http://localhost:80"));
  EXPECT_FALSE(signedIn("http://localhost").matches("http://localhost:443"));
  EXPECT_TRUE(signedIn("http://[::1]:8080/").matches("http://[::1]:8080"));
  EXPECT_FALSE(signedIn("not a url").matches("not a url"));
  EXPECT_FALSE(signedIn("/relative").matches("/relative"));
}

TEST(Credentials, StoredFormLeavesAbsentKeysOut) {
  auto bare = signedIn(std::nullopt);
  std::string raw = bare.toJson().dump();
  EXPECT_EQ(raw.find("null"), std::string::npos);
  Json json = Json::parse(raw);
  EXPECT_EQ(json.size(), 4u);
  EXPECT_EQ(json["accessToken"], "access");
  EXPECT_EQ(json["refreshToken"], "refresh");
  EXPECT_EQ(json["clientId"], "trellisant-native");
  EXPECT_EQ(json["expiresAt"], 760000000.0);
  EXPECT_EQ(Credentials::fromJson(json), bare);

  auto full = signedIn("https://trellisant.example");
  full.deviceId = "device-1";
  full.deviceKey = "key-1";
  json = full.toJson();
  EXPECT_EQ(json.size(), 7u);
  EXPECT_EQ(json["deviceKey"], "key-1");
  EXPECT_EQ(Credentials::fromJson(json), full);
}

TEST(Credentials, DecodingRequiresTheTokensAndExpiry) {
  const Json full = signedIn("https://trellisant.example").toJson();
  for (const char* key : {"accessToken", "refreshToken", "clientId", "expiresAt"}) {
    Json partial = full;
    partial.erase(key);
    EXPECT_THROW(Credentials::fromJson(partial), DecodingError) << key;
  }
  Json wrong = full;
  wrong["expiresAt"] = "760000000";
  EXPECT_THROW(Credentials::fromJson(wrong), DecodingError);
  wrong = full;
  wrong["accessToken"] = 5;
  EXPECT_THROW(Credentials::fromJson(wrong), DecodingError);
  wrong = full;
  wrong["expiresAt"] = 1e300;  // beyond any clock
  EXPECT_THROW(Credentials::fromJson(wrong), DecodingError);
  wrong = full;
  wrong["deviceId"] = 12;
  EXPECT_THROW(Credentials::fromJson(wrong), DecodingError);
  EXPECT_THROW(Credentials::fromJson(Json::array()), DecodingError);

  Json tolerant = full;
  tolerant["server"] = nullptr;
  tolerant["deviceId"] = nullptr;
  tolerant["somethingNew"] = {1, 2};
  tolerant["expiresAt"] = 760000000;  // an integer is a number too
  auto decoded = Credentials::fromJson(tolerant);
  EXPECT_FALSE(decoded.server);
  EXPECT_FALSE(decoded.deviceId);
  EXPECT_EQ(decoded.expiresAt, dateFromReference(760000000));
}

TEST(Credentials, ExpiryIsSecondsSince2001) {
  auto c = signedIn(std::nullopt);
  c.expiresAt = Date(std::chrono::seconds(978307200 + 1000)) + std::chrono::milliseconds(500);
  EXPECT_DOUBLE_EQ(c.toJson()["expiresAt"].get<double>(), 1000.5);

  c.expiresAt = dateFromReference(0) + std::chrono::seconds(760000123) + std::chrono::milliseconds(250);
  auto back = Credentials::fromJson(Json::parse(c.toJson().dump()));
  EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(back.expiresAt),
            std::chrono::floor<std::chrono::seconds>(c.expiresAt));
  EXPECT_LT(std::chrono::abs(back.expiresAt - c.expiresAt), std::chrono::microseconds(1));
}
