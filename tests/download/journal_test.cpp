#include "download/journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <thread>

#include "api/records.h"
#include "error.h"
#include "test_support.h"
#include "sandbox_world.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::TempDir;

ManifestFile manifestFile(const std::string& id, const std::string& fingerprint = "v1") {
  ManifestFile file;
  file.id = id;
  file.relativePath = id + ".mov";
  file.size = "100";
  file.fingerprint = fingerprint;
  return file;
}

// Reads one value of the journal with a separate connection, as SQLite stores it.
std::string query(const fs::path& database, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  std::string value = "<no row>";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    auto text = sqlite3_column_text(statement, 0);
    value = text ? reinterpret_cast<const char*>(text) : "<null>";
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

TEST(Journal, OpensInTheSupportFolderWithPrivateModes) {
  testing::TempHome home;
  EXPECT_EQ(Journal::file(), home.support() / "downloads.sqlite");
  fs::create_directories(home.support());
  Journal journal(Journal::file());
  journal.record("d", manifestFile("f"));
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::path path = Journal::file().string() + suffix;
    if (!fs::exists(path)) continue;
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
  }
  EXPECT_EQ(query(Journal::file(), "PRAGMA journal_mode"), "wal");
}

TEST(Journal, OpenFailures) {
  TempDir temp;
  EXPECT_EQ(failureOf([&] { Journal(temp / "missing" / "downloads.sqlite"); }),
            "Could not open the download journal.");
  EXPECT_FALSE(fs::exists(temp / "missing"));
  testing::writeText(temp / "not-a-database", std::string(4096, 'x'));
  EXPECT_EQ(failureOf([&] { Journal(temp / "not-a-database"); }),
            "The download journal could not be updated.");
}

TEST(Journal, RecordCreatesOnceAndCheckpointOverwrites) {
  TempDir temp;
  fs::path database = temp / "downloads.sqlite";
  Journal journal(database);
  auto fresh = journal.record("d1", manifestFile("f1"));
  EXPECT_EQ(fresh.offset, 0);
  EXPECT_EQ(fresh.state, JournalState::partial);
  EXPECT_EQ(query(database, "SELECT state FROM files"), "partial");
  EXPECT_FALSE(fresh.sha256);

  const std::int64_t large = 5'000'000'123LL;  // beyond 32 bits
  journal.checkpoint("d1", "f1", large, JournalState::finalized, std::string("abc123"));
  EXPECT_EQ(query(database, "SELECT typeof(offset) FROM files"), "integer");
  EXPECT_EQ(query(database, "SELECT offset || ' ' || state FROM files"), "5000000123 finalized");
  // A second record returns the row as it stands; it never resets it.
  auto again = journal.record("d1", manifestFile("f1"));
  EXPECT_EQ(again.offset, large);
  EXPECT_EQ(again.state, JournalState::finalized);
  EXPECT_EQ(again.sha256, "abc123");

  // An absent hash and an empty hash both store NULL over an earlier one.
  journal.checkpoint("d1", "f1", 7, JournalState::partial, std::nullopt);
  EXPECT_EQ(query(database, "SELECT quote(sha256) FROM files"), "NULL");
  journal.checkpoint("d1", "f1", 8, JournalState::finalized, std::string("abc"));
  journal.checkpoint("d1", "f1", 9, JournalState::partial, std::string(""));
  EXPECT_EQ(query(database, "SELECT quote(sha256) FROM files"), "NULL");
  EXPECT_FALSE(journal.record("d1", manifestFile("f1")).sha256);

  // A file without a row: nothing changes and nothing fails.
  EXPECT_NO_THROW(journal.checkpoint("d1", "nobody", 5, JournalState::partial, std::nullopt));
  EXPECT_EQ(query(database, "SELECT count(*) FROM files"), "1");
}

TEST(Journal, ChangedFingerprintIsRefusedAndTheRowKept) {
  TempDir temp;
  Journal journal(temp / "downloads.sqlite");
  journal.record("d", manifestFile("f", "v1"));
  journal.checkpoint("d", "f", 40, JournalState::partial, std::nullopt);
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile("f", "v2")); }),
            "The source version changed. Ask for a new transfer.");
  EXPECT_EQ(query(temp / "downloads.sqlite", "SELECT fingerprint || ':' || offset FROM files"),
            "v1:40");
  // Still refused later, still fine with the original version.
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile("f", "v2")); }),
            "The source version changed. Ask for a new transfer.");
  EXPECT_EQ(journal.record("d", manifestFile("f", "v1")).offset, 40);
}

TEST(Journal, BytesSumsOneDeliveryAndNeverFails) {
  TempDir temp;
  fs::path database = temp / "downloads.sqlite";
  Journal journal(database);
  EXPECT_EQ(journal.bytes("d"), 0);
  // Identifiers are bound, never spliced into the SQL.
  const std::string hostile = "x'); DROP TABLE files; --";
  for (auto [delivery, file, offset] :
       {std::tuple{"d", "a", 10}, std::tuple{"d", "b", 32}, std::tuple{"e", "a", 99}}) {
    journal.record(delivery, manifestFile(file));
    journal.checkpoint(delivery, file, offset, JournalState::partial, std::nullopt);
  }
  journal.record(hostile, manifestFile(hostile));
  journal.checkpoint(hostile, hostile, 5, JournalState::partial, std::nullopt);
  EXPECT_EQ(journal.bytes("d"), 42);
  EXPECT_EQ(journal.bytes(hostile), 5);

  // Rows outlive the connection.
  Journal reopened(database);
  EXPECT_EQ(reopened.bytes("d"), 42);
  EXPECT_EQ(reopened.record("d", manifestFile("b")).offset, 32);

  // With the table gone, bytes answers 0 and the other operations fail with their messages.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE files", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(reopened.bytes("d"), 0);
  EXPECT_EQ(failureOf([&] { reopened.checkpoint("d", "a", 1, JournalState::partial, std::nullopt); }),
            "Could not prepare the download journal.");
  EXPECT_EQ(failureOf([&] { reopened.record("d", manifestFile("a")); }),
            "Could not prepare the download journal.");
}

TEST(Journal, SharedAcrossThreads) {
  TempDir temp;
  Journal journal(temp / "downloads.sqlite");
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string file = "f" + std::to_string(t);
      journal.record("d", manifestFile(file));
      for (int i = 1; i <= 20; ++i) {
        journal.checkpoint("d", file, i, JournalState::partial, std::nullopt);
        journal.bytes("d");
      }
    });
  }
  threads.clear();
  EXPECT_EQ(journal.bytes("d"), 80);
}

}  // namespace
}  // namespace trellisant
