#include "download/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "api/records.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;

ManifestFile manifestFile(const std::string& id, const std::string& fingerprint = "v1") {
  return {id, id + ".mov", "100", fingerprint, std::nullopt, std::nullopt};
}

TEST(Journal, PrivateDurableRowsThatAChangedSourceCannotReuse) {
  TempHome home;
  fs::create_directories(home.support());
  const fs::path database = Journal::file();
  EXPECT_EQ(database, home.support() / "downloads.sqlite");
  {
    Journal journal(database);
    journal.record("d", manifestFile("f", "v1"));
    const std::int64_t large = 5'000'000'123LL;  // beyond 32 bits
    journal.checkpoint("d", "f", large, JournalState::partial, std::nullopt);
    // Identifiers are bound, never spliced into the SQL.
    const std::string hostile = "x'); DROP TABLE files; --";
    journal.record(hostile, manifestFile(hostile));
    journal.checkpoint(hostile, hostile, 5, JournalState::partial, std::nullopt);
    EXPECT_EQ(journal.bytes(hostile), 5);
    for (const char* suffix : {"", "-wal", "-shm"}) {  // write-ahead logging, all private
      struct stat info {};
      ASSERT_EQ(::stat((database.string() + suffix).c_str(), &info), 0) << suffix;
      EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
    }
  }
  // Reopened: a row recorded for another version of the source is refused and kept.
  Journal journal(database);
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile("f", "v2")); }),
            "The source version changed. Ask for a new transfer.");
  EXPECT_EQ(journal.record("d", manifestFile("f", "v1")).offset, 5'000'000'123LL);
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
}  // namespace trellisant::testing
