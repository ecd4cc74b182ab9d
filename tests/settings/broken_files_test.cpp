// The download journal as a crash, a full disk or another process may leave it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>

#include "api/records.h"
#include "download/journal.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {


const std::string kId = "clip" + std::string(40, 'x');

ManifestFile manifestFile(const std::string& id) {
  return ManifestFile{id, id + ".mov", "1000", "v1", std::nullopt, std::nullopt};
}

// A journal of `rows` files of delivery "d", each at offset 100, closed cleanly.
void writeJournal(const fs::path& path, int rows) {
  Journal journal(path);
  for (int i = 0; i < rows; ++i) {
    journal.record("d", manifestFile(kId + std::to_string(i)));
    journal.checkpoint("d", kId + std::to_string(i), 100, JournalState::partial, std::nullopt);
  }
}

std::string checkpointFailure(Journal& journal, std::int64_t offset) {
  return failureOf([&] { journal.checkpoint("d", kId + "0", offset, JournalState::partial, std::nullopt); });
}

TEST(BrokenJournal, DamagedDatabasesFailWithTheJournalsMessages) {
  TempDir temp;
  const fs::path path = temp / "downloads.sqlite";
  writeJournal(path, 150);
  const std::string whole = readText(path);
  ASSERT_GT(whole.size(), 8192u);
  // Cut inside its header, after its first page, or short of its last: pages are missing.
  for (std::size_t length : {std::size_t(60), std::size_t(4096), whole.size() - 4096}) {
    writeText(path, whole.substr(0, length));
    EXPECT_EQ(failureOf([&] { Journal(path).record("d", manifestFile("new")); }), "The download journal could not be updated.")
        << length << " of " << whole.size() << " bytes";
  }
}

// Another connection holding the write lock, as the agent and trellisantctl may.
TEST(BrokenJournal, AWriterOutlastingTheBusyTimeoutFailsAndOneWithinItIsWaitedOut) {
  TempDir temp;
  const fs::path path = temp / "downloads.sqlite";
  writeJournal(path, 2);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; UPDATE files SET offset=offset+1;", nullptr, nullptr, nullptr), SQLITE_OK);

  Journal impatient(path, 200ms);
  EXPECT_EQ(checkpointFailure(impatient, 500), "Could not checkpoint the download.");
  EXPECT_EQ(impatient.bytes("d"), 200) << "reading goes on, without the other's changes";

  Journal journal(path);  // the default 5 s
  auto waiting = std::async(std::launch::async, [&] { return checkpointFailure(journal, 700); });
  EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout) << "it waits for the lock";
  sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(waiting.get(), "");
  EXPECT_EQ(journal.bytes("d"), 800);
}

}  // namespace
}  // namespace trellisant::testing
