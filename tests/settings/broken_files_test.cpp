// Damaged shared files, as a crash, a full disk or another program may leave them: every
// reader must give its defaults or its own message, and never crash.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/records.h"
#include "download/journal.h"
#include "error.h"
#include "encoding.h"
#include "settings/paths.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using testing::TempHome;
using testing::readText;
using testing::writeText;

constexpr const char* kNotJson = "The data couldn’t be read because it isn’t in the correct format.";

// The failure's kind and text: "trellisant: …", "platform: …", or "" when nothing is thrown.
std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const TrellisantError& error) {
    return "trellisant: " + error.message();
  } catch (const DecodingError& error) {
    return "decoding: " + std::string(error.what());
  } catch (const std::exception& error) {
    return "other: " + std::string(error.what());
  }
  return "";
}

std::string randomBytes(std::size_t count, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

// Contents that are not a usable JSON object at all.
std::vector<std::string> notJson() {
  return {"",
          " ",
          "null",
          "[]",
          "\"preferences\"",
          "{",
          "{\"server\":",
          std::string("{\"server\":\"\0\"}", 14),
          "{\"server\":\"\xff\xfe\"}",  // not UTF-8
          std::string(200000, '['),      // deeper than any sane document
          randomBytes(4096, 1)};
}

// ---- preferences.json -------------------------------------------------------------------

std::string fullPreferences() {
  Preferences record;
  record.server = "https://company.example";
  record.destination = R"({"path":"/nowhere","dev":1,"ino":2})";
  record.destinationLabel = "Footage";
  record.receiving = true;
  record.startHour = 20;
  record.endHour = 6;
  record.timeZone = "Europe/Zurich";
  record.bandwidthMbps = 50;
  return record.toJson().dump();
}

TEST(BrokenPreferences, EveryDamagedFileLoadsAsTheDefaultsAndIsLeftAlone) {
  TempHome home;
  fs::path file = Preferences::file();
  std::vector<std::string> contents = notJson();
  // Cut anywhere, as a write interrupted by a crash or a full disk would leave it.
  std::string full = fullPreferences();
  for (std::size_t length = 0; length < full.size(); ++length) contents.push_back(full.substr(0, length));
  // Every key with a value of the wrong type, and a destination that is not Base64.
  for (const char* replacement :
       {R"("server":1)", R"("server":null)", R"("destination":5)", R"("destination":"***")",
        R"("destinationLabel":null)", R"("receiving":"true")", R"("overnight":1)",
        R"("startHour":"22")", R"("startHour":22.5)", R"("startHour":1e30)", R"("endHour":true)",
        R"("timeZone":[])", R"("bandwidthMbps":"0")", R"("allowBattery":null)"}) {
    std::string key = std::string(replacement).substr(0, std::string(replacement).find(':'));
    Json json = Json::parse(full);
    Json value = Json::parse("{" + std::string(replacement) + "}");
    json.update(value);
    contents.push_back(json.dump());
    ASSERT_NE(contents.back(), full) << key;
  }

  for (const auto& content : contents) {
    writeText(file, content);
    EXPECT_EQ(Preferences::load(file), Preferences()) << content.substr(0, 80);
    EXPECT_EQ(readText(file), content) << "a damaged file is not rewritten by a reader";
  }
  // Whoever saves next replaces the damage.
  Preferences chosen;
  chosen.receiving = true;
  chosen.save(file);
  EXPECT_EQ(Preferences::load(file), chosen);
}

TEST(BrokenPreferences, FilesThatCannotBeReadGiveTheDefaults) {
  TempHome home;
  fs::path file = Preferences::file();
  fs::create_directory(file);  // a folder where the file should be
  EXPECT_EQ(Preferences::load(file), Preferences());
  fs::remove(file);
  fs::create_symlink(home.root() / "gone.json", file);  // a dangling link
  EXPECT_EQ(Preferences::load(file), Preferences());
  EXPECT_EQ(failureOf([&] { Preferences::load(file).rootURL(); }),
            "trellisant: Choose a download folder in Trellisant.");
}

TEST(BrokenPreferences, ADamagedFolderBookmarkAsksForTheFolderAgain) {
  TempHome home;
  fs::path file = Preferences::file();
  for (const std::string& bookmark :
       {std::string("not json"), std::string(R"({"path":"relative","dev":1,"ino":2})"),
        std::string(R"({"path":"/tmp","dev":-1,"ino":2})"), std::string(R"({"path":"/tmp"})"),
        randomBytes(64, 2)}) {
    Json json = Json::parse(fullPreferences());
    json["destination"] = base64Encode(bookmark);
    writeText(file, json.dump());
    Preferences loaded = Preferences::load(file);
    ASSERT_EQ(loaded.destination, bookmark);
    EXPECT_EQ(failureOf([&] { loaded.rootURL(); }),
              "trellisant: Choose your download folder again in Settings to renew access.");
  }
}

// ---- credentials.json -------------------------------------------------------------------

TEST(BrokenCredentials, TheDecodingErrorReachesTheCallerUnchanged) {
  TempHome home;
  fs::path file = Paths::support() / "credentials.json";
  const std::string valid =
      R"({"server":"https://company.example","accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":700000000})";
  struct Case {
    std::string content;
    std::string failure;
  };
  std::vector<Case> cases = {
      {"", std::string("decoding: ") + kNotJson},
      {valid.substr(0, valid.size() / 2), std::string("decoding: ") + kNotJson},
      {randomBytes(512, 3), std::string("decoding: ") + kNotJson},
      {"[]", std::string("decoding: ") + kNotJson},
      {R"({"accessToken":"a","refreshToken":"r","clientId":"c"})",
       "decoding: The data couldn’t be read because “expiresAt” is missing."},
      {R"({"accessToken":"a","refreshToken":7,"clientId":"c","expiresAt":1})",
       "decoding: The data couldn’t be read because “refreshToken” is not a string."},
      {R"({"accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":"soon"})",
       "decoding: The data couldn’t be read because “expiresAt” is not a number."},
      {R"({"accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":1,"deviceKey":[]})",
       "decoding: The data couldn’t be read because “deviceKey” is not a string."},
      // Beyond the clock's range (about the year 2262): converting it would overflow.
      {R"({"accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":8.5e9})",
       "decoding: The data couldn’t be read because “expiresAt” is not a valid date."},
      {R"({"accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":-1e300})",
       "decoding: The data couldn’t be read because “expiresAt” is not a valid date."},
  };
  Preferences preferences;
  preferences.server = "https://company.example";
  for (const auto& c : cases) {
    writeText(file, c.content);
    EXPECT_EQ(failureOf([] { Vault::read(); }), c.failure) << c.content.substr(0, 80);
    EXPECT_EQ(readText(file), c.content) << "reading never repairs or removes the item";
  }
  // A folder in the item's place cannot be read: the keychain-locked message.
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_EQ(failureOf([] { Vault::read(); }),
            "trellisant: Unlock your login keyring to reconnect Trellisant.");
  fs::remove(file);

  // Signing in again replaces a damaged item.
  writeText(file, "{");
  Credentials credentials = Credentials::fromJson(Json::parse(valid));
  Vault::save(credentials);
  EXPECT_EQ(Vault::read(), credentials);
}

// ---- downloads.sqlite -------------------------------------------------------------------

ManifestFile manifestFile(const std::string& id) {
  ManifestFile file;
  file.id = id;
  file.relativePath = id + ".mov";
  file.size = "1000";
  file.fingerprint = "v1";
  return file;
}

// A journal of `rows` files of delivery "d", each at offset 100, closed cleanly.
void writeJournal(const fs::path& path, int rows) {
  Journal journal(path);
  for (int i = 0; i < rows; ++i) {
    std::string id = "file-" + std::to_string(i) + std::string(40, 'x');
    journal.record("d", manifestFile(id));
    journal.checkpoint("d", id, 100, JournalState::partial, std::nullopt);
  }
}

// The first failure of opening the journal and then using it.
std::string journalFailure(const fs::path& path) {
  return failureOf([&] {
    Journal journal(path);
    journal.record("d", manifestFile("new"));
    journal.checkpoint("d", "new", 10, JournalState::partial, std::nullopt);
  });
}

TEST(BrokenJournal, DamagedDatabasesFailWithTheJournalsMessages) {
  TempDir temp;
  fs::path path = temp / "downloads.sqlite";

  writeText(path, randomBytes(8192, 4));
  EXPECT_EQ(journalFailure(path), "trellisant: The download journal could not be updated.");
  writeText(path, "This is not a database, it is a note.\n");
  EXPECT_EQ(journalFailure(path), "trellisant: The download journal could not be updated.");

  // Cut inside its header, and cut after its first page: the rest of its pages are missing.
  fs::remove(path);
  writeJournal(path, 150);
  std::string whole = readText(path);
  ASSERT_GT(whole.size(), 8192u);
  // SQLite notices the missing pages as soon as the journal opens it.
  for (std::size_t length : {std::size_t(60), std::size_t(4096), whole.size() / 8192 * 4096,
                             whole.size() - 4096}) {
    writeText(path, whole.substr(0, length));
    EXPECT_EQ(journalFailure(path), "trellisant: The download journal could not be updated.")
        << length << " of " << whole.size() << " bytes";
  }

  // A folder in the database's place.
  fs::remove(path);
  fs::create_directory(path);
  EXPECT_EQ(journalFailure(path), "trellisant: Could not open the download journal.");
}

TEST(BrokenJournal, AnEmptyFileOrADamagedLogStartsOrKeepsAWorkingJournal) {
  TempDir temp;
  fs::path path = temp / "downloads.sqlite";
  writeText(path, "");
  EXPECT_EQ(journalFailure(path), "");

  // A clean close leaves no log; a log with garbage beside it holds no valid frame and is
  // ignored, so every committed row stays.
  fs::remove(path);
  writeJournal(path, 3);
  writeText(path.string() + "-wal", randomBytes(70000, 5));
  writeText(path.string() + "-shm", randomBytes(32768, 6));
  Journal journal(path);
  EXPECT_EQ(journal.bytes("d"), 300);
  EXPECT_EQ(journal.record("d", manifestFile("file-0" + std::string(40, 'x'))).offset, 100);
}

// Another process holding the journal's lock: runs `sql` in a child process on its own
// connection and keeps the transaction open until released.
class LockHolder {
 public:
  LockHolder(const fs::path& path, const std::string& sql) {
    int ready[2], release[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(release), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      sqlite3* db = nullptr;
      char result = 'x';
      if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
          sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
        result = 'y';
      (void)!::write(ready[1], &result, 1);
      char byte;
      (void)!::read(release[0], &byte, 1);  // until the parent closes its end, or dies
      sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char result = 0;
    EXPECT_EQ(::read(ready[0], &result, 1), 1);
    EXPECT_EQ(result, 'y') << "the other process could not take the lock";
    ::close(ready[0]);
  }
  ~LockHolder() { release(); }
  void release() {
    if (release_ < 0) return;
    ::close(release_);
    release_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  // Releases the lock after `delay` on a background thread.
  std::thread releaseAfter(std::chrono::milliseconds delay) {
    return std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      release();
    });
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

TEST(BrokenJournal, AWriterInAnotherProcessOutlastingTheBusyTimeout) {
  TempDir temp;
  fs::path path = temp / "downloads.sqlite";
  writeJournal(path, 2);
  std::string first = "file-0" + std::string(40, 'x');

  LockHolder holder(path, "BEGIN IMMEDIATE; UPDATE files SET offset=offset+1;");
  Journal journal(path, 200ms);  // opening only reads
  EXPECT_EQ(failureOf([&] { journal.checkpoint("d", first, 500, JournalState::partial, std::nullopt); }),
            "trellisant: Could not checkpoint the download.");
  // Recording writes even for a known file (INSERT OR IGNORE), so it fails too.
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile("another")); }),
            "trellisant: Could not initialize the download.");
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile(first)); }),
            "trellisant: Could not initialize the download.");
  EXPECT_EQ(journal.bytes("d"), 200) << "reading still works, without the other's changes";

  // Once the other process lets go, the same journal writes again.
  holder.release();
  journal.checkpoint("d", first, 500, JournalState::partial, std::nullopt);
  EXPECT_EQ(journal.bytes("d"), 600);
}

TEST(BrokenJournal, AnExclusiveLockAtOpenAndALockReleasedWithinTheDefaultTimeout) {
  TempDir temp;
  fs::path path = temp / "downloads.sqlite";
  // A database in rollback mode, held exclusively: the journal cannot even switch it to WAL.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
              SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE other(x);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  {
    LockHolder holder(path, "BEGIN EXCLUSIVE; INSERT INTO other VALUES(1);");
    EXPECT_EQ(failureOf([&] { Journal(path, 200ms); }),
              "trellisant: The download journal could not be updated.");
  }

  // With the journal's 5 s busy timeout, a lock that ends after half a second is waited out.
  fs::remove(path);
  writeJournal(path, 1);
  std::string first = "file-0" + std::string(40, 'x');
  Journal journal(path);
  LockHolder holder(path, "BEGIN IMMEDIATE; UPDATE files SET offset=offset;");
  std::thread releaser = holder.releaseAfter(500ms);
  EXPECT_EQ(failureOf([&] { journal.checkpoint("d", first, 700, JournalState::partial, std::nullopt); }), "");
  releaser.join();
  EXPECT_EQ(journal.bytes("d"), 700);
}

}  // namespace
}  // namespace trellisant
