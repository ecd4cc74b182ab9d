// The vault with a real Secret Service (GNOME Keyring on a private session bus).
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include "keyring_session.h"
#include "settings/vault.h"
#include "settings/paths.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

Credentials record(std::string token, Date expiresAt = {}) {
  return {.server = {}, .accessToken = std::move(token), .refreshToken = "refresh", .clientId = "trellisant-native",
          .expiresAt = expiresAt, .deviceId = {}, .deviceKey = {}};
}

// As where the keyring daemon is merely installed: a Secret Service without a default collection.
void removeDefaultCollection() {
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
  SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                  SECRET_COLLECTION_NONE, nullptr, nullptr);
  ASSERT_TRUE(collection && secret_collection_delete_sync(collection, nullptr, nullptr));
  g_object_unref(collection);
  g_object_unref(service);
}

struct KeyringTest : ::testing::Test {
  TempHome home;
  KeyringSession keyring;
  const std::filesystem::path file = Paths::credentialsFile();
  KeyringTest() { FileCredentialStore().write(record("from-file").toJson().dump()); }
};

TEST_F(KeyringTest, ASignInInTheFileMovesInTheLaterOfTwoWinsAndClearingTakesBoth) {
  EXPECT_EQ(Vault::read()->accessToken, "from-file");
  Vault::save(record("renewed"));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(*keyring.item(), record("renewed").toJson().dump());
  EXPECT_EQ(Vault::read()->accessToken, "renewed");
  // A program without the keyring saved a later sign-in in the file: it wins and moves in.
  FileCredentialStore().write(record("later", Date(2h)).toJson().dump());
  EXPECT_EQ(Vault::read()->accessToken, "later");
  EXPECT_EQ(*keyring.item(), record("later", Date(2h)).toJson().dump());
  EXPECT_FALSE(std::filesystem::exists(file));
  FileCredentialStore().write(record("earlier", Date(1h)).toJson().dump());
  EXPECT_EQ(Vault::read()->accessToken, "later");
  EXPECT_FALSE(std::filesystem::exists(file)) << "the earlier one goes";
  FileCredentialStore().write(record("left-behind").toJson().dump());
  Vault::clear();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(keyring.item());

  removeDefaultCollection();
  Vault::save(record("first"));
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600)) << "kept in the file";
  EXPECT_EQ(Vault::read()->accessToken, "first");
  EXPECT_EQ(keyring.prompts(), 0);
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
