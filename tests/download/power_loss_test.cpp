// What the download engine keeps across a power cut, on a disk that forgets unsynced data and
// names (strict: a name lasts once its folder is synced).
#include <gtest/gtest.h>

#include "download/file_safety.h"
#include "downloader_fixture.h"
#include "fileio.h"
#include "lossy_disk.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
using Fault = sandbox::ProviderServer::Fault;
constexpr std::int64_t MiB = 1024 * 1024;

// Folders made for a file must outlast a power cut, or every synced name in them goes too.
TEST(FileSafetyPowerLoss, NewFoldersOutlastAPowerCut) {
  TempDir temp;
  std::string why;
  auto disk = lossyDiskForTest(temp.path(), why);
  if (!disk) GTEST_SKIP() << why;
  UniqueFd(FileSafety::directory(disk->mountPoint(), {"Acme", "Feature", "Day 1"}));
  disk->powerCut();
  disk->remount();
  EXPECT_TRUE(fs::is_directory(disk->mountPoint() / "Acme" / "Feature" / "Day 1"));
}

// The download folder on a lossy disk; the journal stays on a disk that keeps everything.
class DownloaderPowerLoss : public DownloaderTest {
 protected:
  void SetUp() override {
    DownloaderTest::SetUp();
    disk_ = lossyDiskForTest(temp_.path(), why_);
    if (!disk_) GTEST_SKIP() << why_;
    root_ = disk_->mountPoint() / "Footage";
    fs::create_directory(root_);
    ASSERT_TRUE(syncFolder(disk_->mountPoint()));
  }
  void reboot() {
    disk_->powerCut();
    disk_->remount();
  }
  std::string why_;
  std::unique_ptr<LossyDisk> disk_;
};

// The journal counts bytes of the partial file only once the file's name is durable too.
TEST_F(DownloaderPowerLoss, BytesTheJournalCountsOutlastAPowerCut) {
  PreparedFile p = prepare(20 * MiB);
  world().provider().inject(Fault::closeAfter(10 * MiB), p.file.id, 1);
  EXPECT_EQ(failure(p), "The download ended early. Trellisant will resume it.");
  std::int64_t counted = journalRecord(p).offset;
  ASSERT_EQ(counted, 8 * MiB);
  reboot();
  EXPECT_TRUE(readRange(p.partial, 0, counted) == readRange(p.source, 0, counted))
      << "the partial file lost bytes the journal counted";
}

// A crash between the rename and its folder's sync leaves a final name that is not durable; the
// next attempt reports that file again, so it must make the name durable first.
TEST_F(DownloaderPowerLoss, AFileReportedAgainIsAtItsFinalNameAfterAPowerCut) {
  PreparedFile p = prepare(MiB);
  download(p);
  fs::rename(p.final, p.partial);  // the disk as the crash found it: renamed, not yet synced
  ASSERT_TRUE(syncFolder(p.folder));
  fs::rename(p.partial, p.final);
  download(p);
  ASSERT_EQ(companyRequests(p, "file-complete").size(), 2u);
  reboot();
  EXPECT_TRUE(readRange(p.final, 0, MiB) == readRange(p.source, 0, MiB))
      << "the reported file is gone";
}

}  // namespace
}  // namespace trellisant::testing
