// The sign-in record and the vault's file store (no session bus, so no keyring).
#include <gtest/gtest.h>

#include "settings/vault.h"
#include "settings/paths.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

TEST(Credentials, MatchTheServerByScheme_Host_AndEffectivePortAndNeedEveryToken) {
  Credentials c{.server = "https://Trellisant.Example", .accessToken = "a", .refreshToken = "r",
                .clientId = "c", .expiresAt = Date(std::chrono::milliseconds(978308200500)),
                .deviceId = {}, .deviceKey = {}};
  for (auto [server, matches] : std::vector<std::pair<const char*, bool>>{
           {"https://trellisant.example:443/x?q=1", true}, {"http://trellisant.example", false},
           {"https://trellisant.example:8443", false}, {"https://other.example", false},
           {"trellisant.example", false}})
    EXPECT_EQ(c.matches(server), matches) << server;
  c.server = "http://localhost";
  EXPECT_TRUE(c.matches("http://localhost:80"));
  EXPECT_FALSE(c.matches("http://localhost:443"));

  // Seconds since 2001, absent fields left out: as stored files hold it.
  c.server.reset();
  EXPECT_EQ(c.toJson().dump(), R"({"accessToken":"a","clientId":"c","expiresAt":1000.5,"refreshToken":"r"})");
  for (const char* key : {"accessToken", "refreshToken", "clientId", "expiresAt"}) {
    Json partial = c.toJson();
    partial.erase(key);
    EXPECT_THROW(Credentials::fromJson(partial), DecodingError) << key;
  }
  Json late = c.toJson();
  late["expiresAt"] = 8.5e9;  // beyond the clock's range (about 2262): converting would overflow
  EXPECT_THROW(Credentials::fromJson(late), DecodingError);

  // The file store: private, and a folder in its place is an item that cannot be reached.
  TempHome home;
  const auto file = Paths::credentialsFile();
  Vault::save(c);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(failureOf([] { Vault::read(); }), "Unlock your login keyring to reconnect Trellisant.");
  EXPECT_EQ(failureOf([&] { Vault::save(c); }), "Could not update your device credentials.");
}

}  // namespace
}  // namespace trellisant::testing
