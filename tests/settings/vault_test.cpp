#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "settings/vault.h"
#include "test_support.h"

using namespace trellisant;
using trellisant::testing::readText;
using trellisant::testing::TempHome;
using trellisant::testing::writeText;

namespace {

const std::string kUnlock = "Unlock your login keyring to reconnect Trellisant.";

Credentials record(std::string token) {
  Credentials c;
  c.accessToken = std::move(token);
  c.refreshToken = "refresh";
  c.clientId = "trellisant-native";
  c.expiresAt = dateFromReference(760000000.25);
  return c;
}

std::string failure(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const TrellisantError& error) {
    return error.message();
  }
  return "(no failure)";
}

// Restores the file store whatever a test does.
struct VaultTest : ::testing::Test {
  void TearDown() override { Vault::setStore(nullptr); }
  TempHome home;
  std::filesystem::path file() const { return home.support() / "credentials.json"; }
};

}  // namespace

TEST_F(VaultTest, ReadSaveClearCycle) {
  Vault::disablePrompts();
  EXPECT_FALSE(Vault::read());
  Vault::clear();  // nothing to remove is not a failure

  Credentials first = record("first");
  Vault::save(first);
  EXPECT_EQ(Vault::read(), first);
  EXPECT_EQ(Vault::location(), file().string()) << "no session bus: the file";
  struct stat info {};
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  std::string raw = readText(file());
  EXPECT_EQ(raw, first.toJson().dump());
  EXPECT_EQ(raw.find("null"), std::string::npos);
  EXPECT_EQ(raw.find("server"), std::string::npos);
  EXPECT_EQ(raw.find("deviceId"), std::string::npos);

  Credentials second = record("second");
  second.server = "https://trellisant.example";
  second.deviceId = "device";
  second.deviceKey = "key";
  Vault::save(second);
  EXPECT_EQ(Vault::read(), second);

  Vault::clear();
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(Vault::location(), "none");
}

TEST_F(VaultTest, UnreadableItemAsksToUnlock) {
  // A folder where the file should be fails on read(2) even for root.
  std::filesystem::create_directories(file());
  EXPECT_EQ(failure([] { Vault::read(); }), kUnlock);
  EXPECT_EQ(failure([] { Vault::save(record("x")); }), "Could not update your device credentials.");
  Vault::clear();
}

TEST_F(VaultTest, UnreadableFilePermissionsAskToUnlock) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode; the folder case covers it";
  Vault::save(record("x"));
  ::chmod(file().c_str(), 0);
  EXPECT_EQ(failure([] { Vault::read(); }), kUnlock);
}

TEST_F(VaultTest, CreatingTheItemCanFail) {
  // The support folder's place is taken by a file, so nothing can be created inside it.
  std::filesystem::create_directories(home.support().parent_path());
  writeText(home.support(), "in the way");
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(failure([] { Vault::save(record("x")); }), "Could not save your sign in securely in Keychain.");
}

TEST_F(VaultTest, UndecodableDataPassesTheDecodingErrorThrough) {
  std::filesystem::create_directories(home.support());
  writeText(file(), "{\"accessToken\":\"a\"");
  EXPECT_THROW(Vault::read(), DecodingError);
  writeText(file(), "{\"accessToken\":\"a\",\"refreshToken\":\"r\",\"clientId\":\"c\"}");
  EXPECT_THROW(Vault::read(), DecodingError);
}

TEST_F(VaultTest, AnotherStoreCanBeSwappedIn) {
  struct MemoryStore : CredentialStore {
    std::optional<std::string> data;
    int writes = 0;
    std::optional<std::string> read() override { return data; }
    void write(const std::string& bytes) override {
      data = bytes;
      ++writes;
    }
    void remove() override { throw std::runtime_error("remove must never fail outward"); }
    std::string location() override { return "memory"; }
  };
  auto memory = std::make_shared<MemoryStore>();
  Vault::setStore(memory);
  Vault::save(record("memory"));
  EXPECT_EQ(memory->writes, 1);
  EXPECT_EQ(Vault::read(), record("memory"));
  EXPECT_EQ(Vault::location(), "memory");
  EXPECT_NO_THROW(Vault::clear());
  EXPECT_FALSE(std::filesystem::exists(file()));

  Vault::setStore(nullptr);
  EXPECT_FALSE(Vault::read());
  Vault::save(record("file"));
  EXPECT_EQ(Vault::read(), record("file"));
  EXPECT_EQ(memory->writes, 1);
}

TEST_F(VaultTest, ConcurrentRefreshesNeverSeeAPartialRecord) {
  Vault::save(record("start"));
  std::atomic<int> bad = 0;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t, &bad] {
        for (int i = 0; i < 100; ++i) {
          try {
            Vault::save(record("token-" + std::to_string(t) + "-" + std::string(i * 10, 'x')));
            auto read = Vault::read();
            if (!read || read->clientId != "trellisant-native") ++bad;
          } catch (const std::exception&) {
            ++bad;
          }
        }
      });
    }
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) Vault::setStore(nullptr);
    });
  }
  EXPECT_EQ(bad.load(), 0);
}
