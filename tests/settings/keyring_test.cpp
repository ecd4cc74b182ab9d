// The vault with a real Secret Service (GNOME Keyring on a private session bus).
#include <gtest/gtest.h>

#include "keyring_session.h"
#include "settings/vault.h"
#include "test_support.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

const std::string kUnlock = "Unlock your login keyring to reconnect Trellisant.";

Credentials record(std::string token) {
  Credentials c;
  c.server = "https://trellisant.example";
  c.accessToken = std::move(token);
  c.refreshToken = "refresh";
  c.clientId = "trellisant-native";
  c.expiresAt = dateFromReference(760000000.25);
  return c;
}

struct KeyringTest : ::testing::Test {
  TempHome home;
  KeyringSession keyring;
  std::filesystem::path file() const { return home.support() / "credentials.json"; }
  void writeFile(const Credentials& credentials) { FileCredentialStore().write(credentials.toJson().dump()); }
};

}  // namespace

TEST_F(KeyringTest, SaveReadReplaceClear) {
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(Vault::location(), "none");

  Vault::save(record("first"));
  auto item = keyring.item();
  ASSERT_TRUE(item);
  EXPECT_EQ(item->secret, record("first").toJson().dump());
  EXPECT_EQ(item->label, "Trellisant device sign-in");
  EXPECT_EQ(item->attributes, (std::map<std::string, std::string>{{"service", "com.trellisant.credentials"},
                                                                   {"account", "native"},
                                                                   {"xdg:schema", "com.trellisant.Trellisant"}}));
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_EQ(Vault::read(), record("first"));
  EXPECT_EQ(Vault::location(), "login keyring");

  Vault::save(record("second"));
  EXPECT_EQ(Vault::read(), record("second"));
  EXPECT_EQ(keyring.item()->path, item->path) << "replaced in place, not recreated";

  Vault::clear();
  EXPECT_FALSE(keyring.item());
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(keyring.prompts(), 0);
}

TEST_F(KeyringTest, ASignInInTheFileMovesAtTheFirstSave) {
  writeFile(record("from-file"));
  EXPECT_EQ(Vault::read(), record("from-file"));
  EXPECT_EQ(Vault::location(), file().string());

  Vault::save(record("renewed"));
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_EQ(keyring.item()->secret, record("renewed").toJson().dump());
  EXPECT_EQ(Vault::read(), record("renewed"));

  // Clearing takes it from both stores.
  writeFile(record("left-behind"));
  Vault::clear();
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_FALSE(keyring.item());
}

TEST_F(KeyringTest, ALockedItemAsksTheAgentToUnlockWithoutPrompting) {
  Vault::save(record("first"));
  keyring.lock();
  Vault::disablePrompts();
  EXPECT_EQ(failureOf([] { Vault::read(); }), kUnlock);
  EXPECT_EQ(failureOf([] { Vault::save(record("x")); }), "Could not update your device credentials.");
  EXPECT_EQ(Vault::location(), "login keyring (locked)");
  EXPECT_EQ(keyring.prompts(), 0);
}

TEST_F(KeyringTest, ALockedKeyringKeepsTheSignInInTheFile) {
  writeFile(record("from-file"));
  keyring.lock();
  Vault::disablePrompts();
  EXPECT_EQ(failureOf([] { Vault::save(record("renewed")); }),
            "Could not save your sign in securely in Keychain.");
  EXPECT_EQ(Vault::read(), record("from-file")) << "never lost on the way";
  EXPECT_EQ(keyring.prompts(), 0);
}

TEST_F(KeyringTest, AServiceWithoutADefaultCollectionLeavesTheFile) {
  keyring.removeDefaultCollection();
  Vault::save(record("first"));
  EXPECT_EQ(Vault::location(), file().string());
  EXPECT_EQ(Vault::read(), record("first"));
  EXPECT_EQ(keyring.prompts(), 0);
}
