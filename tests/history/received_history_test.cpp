// The agent's list of received deliveries, on a real SQLite file: the first record of a delivery
// stays, the newest 1,000 are kept, a restart reads them back, a folder that cannot be written
// fails with the store's sentence, and a power cut while a record is written never leaves half
// of it nor loses a delivery that was noted; a file an older agent wrote gains the receipt outcome
// and stays readable to it, and the outcome is kept whether it comes before or after the record.
#include "history/received_history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <thread>

#include "error.h"
#include "fileio.h"
#include "lossy_disk.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::LossyDisk;

Date at(double seconds) { return dateFromSecondsSince2001(8e8 + seconds); }

ReceivedDelivery delivery(int n) {
  std::string id = "d" + std::to_string(n);
  return {id, "Day " + std::to_string(n), "Acme", "Feature", "/footage/Acme/Feature/" + id, n, 1000L * n, n - 1,
          at(n), at(n + 0.5)};
}

TEST(ReceivedHistoryTest, KeepsTheFirstRecordTheNewestThousandAndOutlastsARestart) {
  testing::TempHome home;
  EXPECT_TRUE(ReceivedHistory().recent().empty()) << "no file yet: nothing received";
  ReceivedDelivery first = delivery(0), noted = first;
  noted.firstByteAt = at(-30);
  ReceivedHistory().begun(noted);
  ReceivedHistory().completed(first);
  first.firstByteAt = noted.firstByteAt;  // the first byte came when the delivery was noted
  ReceivedDelivery again = delivery(0);
  again.completedAt = at(99);
  ReceivedHistory().completed(again);
  EXPECT_EQ(ReceivedHistory().recent(), std::vector{first}) << "the first record stays";
  struct stat info {};
  ASSERT_EQ(::stat(Paths::receivedHistoryFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A thousand synced writes: in memory where there is a tmpfs, so the test takes no minute.
  const std::optional<std::string> tmpdir = std::getenv("TMPDIR") ? std::optional(std::getenv("TMPDIR")) : std::nullopt;
  ::setenv("TMPDIR", fs::is_directory("/dev/shm") ? "/dev/shm" : home.root().c_str(), 1);
  testing::TempDir fast;
  tmpdir ? ::setenv("TMPDIR", tmpdir->c_str(), 1) : ::unsetenv("TMPDIR");
  ReceivedHistory history(fast / "received.sqlite");
  history.completed(first);
  for (int n = 1; n <= 1000; ++n) history.completed(delivery(n));
  auto all = history.recent();
  ASSERT_EQ(all.size(), 1000u);
  EXPECT_EQ(all.front(), delivery(1000));
  EXPECT_EQ(all.back(), delivery(1)) << "the 1,001st delivery drops the oldest";
  EXPECT_EQ(history.recent(2), (std::vector{delivery(1000), delivery(999)}));

  const fs::path blocked = home.root() / "not-a-folder";
  testing::writeText(blocked, "");
  ReceivedHistory unwritable(blocked / "received.sqlite");
  EXPECT_EQ(testing::failureOf([&] { unwritable.completed(delivery(1)); }),
            "The list of received deliveries could not be updated.");
}

// What an older agent runs: its tables, and its statements that name their columns.
void olderAgent(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(ReceivedHistoryTest, TheReceiptOutcomeJoinsAnOlderFileAndComesBeforeOrAfterTheRecord) {
  testing::TempHome home;
  const std::string columns = "(id,name,company,project,folder,files,bytes,verified,firstByteAt";
  auto older = [&](const std::string& id) {
    return "INSERT INTO received" + columns + ",completedAt) VALUES('" + id +
           "','Day 1','Acme','Feature','/footage/Acme/Feature/d1',1,1000,0,800000001,800000001.5);";
  };
  olderAgent(Paths::receivedHistoryFile(),
             "CREATE TABLE received (seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL UNIQUE, name TEXT NOT "
             "NULL, company TEXT NOT NULL, project TEXT NOT NULL, folder TEXT NOT NULL, files INTEGER NOT NULL, bytes "
             "INTEGER NOT NULL, verified INTEGER NOT NULL, firstByteAt REAL NOT NULL, completedAt REAL NOT NULL);"
             "CREATE TABLE begun (seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, "
             "company TEXT NOT NULL, project TEXT NOT NULL, folder TEXT NOT NULL, files INTEGER NOT NULL, bytes "
             "INTEGER NOT NULL, verified INTEGER NOT NULL, firstByteAt REAL NOT NULL);" + older("d1"));
  ReceivedHistory history;
  EXPECT_EQ(history.recent(), std::vector{delivery(1)}) << "an older file, read before any newer agent wrote it";

  history.begun(delivery(2));
  history.receipt("d2", ReceiptState::written);  // before its record
  history.completed(delivery(2));
  history.receipt("d1", ReceiptState::failed);  // after its record
  ReceivedDelivery brought = delivery(3);
  history.begun(brought);
  history.receipt("d3", ReceiptState::failed);
  brought.receipt = ReceiptState::written;  // written later: the record's own outcome stands
  history.completed(brought);
  auto recent = history.recent();
  ASSERT_EQ(recent.size(), 3u);
  EXPECT_EQ(recent[2].receipt, ReceiptState::failed);
  EXPECT_EQ(recent[1].receipt, ReceiptState::written) << "the outcome noted before the record is lost";
  EXPECT_EQ(recent[0], brought);
  EXPECT_EQ(recent[0].toJson().at("receipt"), "written");

  olderAgent(Paths::receivedHistoryFile(),
             "INSERT INTO begun" + columns + ") VALUES('d4','Day 4','Acme','Feature','/f',4,4000,3,800000004);" + older("d5"));
  ASSERT_EQ(history.recent().front().id, "d5") << "an older agent can no longer write the file";
  EXPECT_EQ(history.recent().front().receipt, ReceiptState::none);
}

TEST(ReceivedHistoryTest, APowerCutWhileARecordIsWrittenLeavesItWholeOrFinishable) {
  testing::TempDir temp;
  std::string why;
  auto disk = testing::lossyDiskForTest(temp.path(), why);
  if (!disk) GTEST_SKIP() << why;
  const fs::path file = disk->mountPoint() / "received.sqlite";
  std::vector<ReceivedDelivery> kept;
  int cutMidWrite = 0;
  for (int k = 0; k < 6; ++k) {
    const ReceivedDelivery next = delivery(k + 1);
    ReceivedHistory(file).begun(next);
    ASSERT_TRUE(syncFolder(disk->mountPoint()));
    disk->arm({k % 2 ? LossyDisk::Event::fsync : LossyDisk::Event::write, "received.sqlite", k / 2});
    std::jthread writer([&] {
      try {
        ReceivedHistory(file).completed(next);
      } catch (const TrellisantError&) {
        // The disk is gone mid-write.
      }
    });
    cutMidWrite += disk->waitForHold(std::chrono::seconds(10)).has_value();
    disk->powerCut();
    disk->release();
    writer.join();
    disk->remount();
    auto read = ReceivedHistory(file).recent();
    ASSERT_TRUE(read.size() == kept.size() || (read.size() == kept.size() + 1 && read.front() == next))
        << "cut " << k << ": half a record, or an earlier one lost";
    ReceivedHistory(file).finishBegun([](const ReceivedDelivery&) { return true; }, next.completedAt);
    kept.insert(kept.begin(), next);
    EXPECT_EQ(ReceivedHistory(file).recent(), kept) << "cut " << k << ": the noted delivery is not finished";
  }
  EXPECT_GT(cutMidWrite, 0) << "no cut came while a record was being written";
}

}  // namespace
}  // namespace trellisant
