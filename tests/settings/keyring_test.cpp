// The vault with a real Secret Service (GNOME Keyring on a private session bus).
#include <gtest/gtest.h>

#include "keyring_session.h"
#include "settings/vault.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

Credentials record(std::string token) {
  return {.server = {}, .accessToken = std::move(token), .refreshToken = "refresh", .clientId = "trellisant-native",
          .expiresAt = {}, .deviceId = {}, .deviceKey = {}};
}

struct KeyringTest : ::testing::Test {
  TempHome home;
  KeyringSession keyring;
  const std::filesystem::path file = home.support() / "credentials.json";
  KeyringTest() { FileCredentialStore().write(record("from-file").toJson().dump()); }
};

TEST_F(KeyringTest, ASignInInTheFileMovesAtTheFirstSaveAndClearingTakesBoth) {
  EXPECT_EQ(Vault::read()->accessToken, "from-file");
  Vault::save(record("renewed"));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(*keyring.item(), record("renewed").toJson().dump());
  EXPECT_EQ(Vault::read()->accessToken, "renewed");
  FileCredentialStore().write(record("left-behind").toJson().dump());
  Vault::clear();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(keyring.item());
}

TEST_F(KeyringTest, ALockedKeyringKeepsTheSignInInTheFile) {
  keyring.lock();
  Vault::disablePrompts();
  EXPECT_EQ(failureOf([] { Vault::save(record("renewed")); }),
            "Could not save your sign in securely in your login keyring.");
  EXPECT_EQ(Vault::read()->accessToken, "from-file") << "never lost on the way";
  EXPECT_EQ(keyring.prompts(), 0);
}

}  // namespace
}  // namespace trellisant::testing
