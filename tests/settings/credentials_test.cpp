// The sign-in record and the vault's file store (no session bus, so no keyring).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/vault.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

constexpr const char* kUnlock = "Unlock your login keyring to reconnect Trellisant.";

Credentials record(std::string server) {
  Credentials c;
  c.server = std::move(server);
  c.accessToken = "a";
  c.refreshToken = "r";
  c.clientId = "c";
  c.expiresAt = Date(std::chrono::seconds(978307200)) + std::chrono::milliseconds(1000500);
  return c;
}

TEST(Credentials, MatchTheServerByScheme_Host_AndEffectivePortAndNeedEveryToken) {
  Credentials c = record("https://Trellisant.Example");
  for (auto [server, matches] : std::vector<std::pair<const char*, bool>>{
           {"https://trellisant.example:443/x?q=1", true}, {"http://trellisant.example", false},
           {"https://trellisant.example:8443", false},     {"https://other.example", false},
           {"trellisant.example", false},                  {"", false}}) {
    EXPECT_EQ(c.matches(server), matches) << server;
  }
  EXPECT_TRUE(record("http://localhost").matches("http://localhost:80"));
  EXPECT_FALSE(record("http://localhost").matches("http://localhost:443"));

  // Seconds since 2001 as a number, absent fields left out: as stored files hold it.
  c.server.reset();
  EXPECT_EQ(c.toJson().dump(), R"({"accessToken":"a","clientId":"c","expiresAt":1000.5,"refreshToken":"r"})");
  EXPECT_FALSE(c.matches("https://trellisant.example"));
  for (const char* key : {"accessToken", "refreshToken", "clientId", "expiresAt"}) {
    Json partial = c.toJson();
    partial.erase(key);
    EXPECT_THROW(Credentials::fromJson(partial), DecodingError) << key;
  }
}

TEST(Vault, KeepsTheSignInPrivateAndNeverRepairsADamagedOne) {
  TempHome home;
  const auto file = home.support() / "credentials.json";
  EXPECT_FALSE(Vault::read());
  Vault::save(record("https://trellisant.example"));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(Vault::read()->server, "https://trellisant.example");

  const std::string prefix = "<other: The data couldn’t be read because ";
  for (auto [content, failure] : std::vector<std::pair<std::string, std::string>>{
           {"{", "it isn’t in the correct format."},
           {R"({"accessToken":"a","refreshToken":"r","clientId":"c"})", "“expiresAt” is missing."},
           // Beyond the clock's range (about the year 2262): converting it would overflow.
           {R"({"accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":8.5e9})",
            "“expiresAt” is not a valid date."}}) {
    writeText(file, content);
    EXPECT_EQ(failureOf([] { Vault::read(); }), prefix + failure + ">") << content;
    EXPECT_EQ(readText(file), content);
  }
  // A folder where the file should be cannot be read, even by root.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(failureOf([] { Vault::read(); }), kUnlock);
  EXPECT_EQ(failureOf([] { Vault::save(record("")); }), "Could not update your device credentials.");
  std::filesystem::remove(file);
  Vault::save(record(""));
  Vault::clear();
  EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace trellisant::testing
