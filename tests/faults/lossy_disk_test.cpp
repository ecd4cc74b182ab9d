// The lossy disk itself: what lasts across its power cut, and what does not.
#include "lossy_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "fileio.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;

class LossyDiskTest : public ::testing::Test {
 protected:
  bool mount(LossyDisk::Names names) {
    return (disk_ = lossyDiskForTest(temp_.path(), why_, names)) != nullptr;
  }
  fs::path at(const std::string& name) { return disk_->mountPoint() / name; }
  // Writes at `offset` of the file (made when missing); fsyncs it when asked.
  void put(const std::string& name, const std::string& text, off_t offset, bool sync) {
    UniqueFd fd(::open(at(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::pwrite(fd.get(), text.data(), text.size(), offset),
              static_cast<ssize_t>(text.size()));
    if (sync) {
      ASSERT_EQ(::fsync(fd.get()), 0);
    }
  }
  void reboot() {
    disk_->powerCut();
    disk_->remount();
  }

  TempDir temp_;
  std::string why_;
  std::unique_ptr<LossyDisk> disk_;
};

TEST_F(LossyDiskTest, FileDataLastsOnceSynced) {
  if (!mount(LossyDisk::Names::simple)) GTEST_SKIP() << why_;
  put("clip", "synced", 0, true);
  put("clip", "-cached", 6, false);
  EXPECT_EQ(readText(at("clip")), "synced-cached");  // readers see the cache over the disk
  ASSERT_EQ(::truncate(at("clip").c_str(), 2), 0);
  put("clip", "X", 4, false);
  fs::rename(at("clip"), at("moved"));  // the cached data goes with the file
  EXPECT_EQ(readText(at("moved")), std::string("sy\0\0X", 5));
  put("other", "", 0, true);
  EXPECT_EQ(
      ::renameat2(AT_FDCWD, at("moved").c_str(), AT_FDCWD, at("other").c_str(), RENAME_NOREPLACE),
      -1);
  EXPECT_EQ(errno, EEXIST);
  reboot();
  EXPECT_EQ(readText(at("moved")), "synced");
  EXPECT_GT(disk_->figures().bytesDropped, 0);
}

TEST_F(LossyDiskTest, StrictNamesLastOnceTheirFolderIsSynced) {
  if (!mount(LossyDisk::Names::strict)) GTEST_SKIP() << why_;
  fs::create_directory(at("made"));
  put("made/clip", "data", 0, true);
  put("kept", "old", 0, true);
  ASSERT_TRUE(syncFolder(disk_->mountPoint()));
  put("new", "replacement", 0, true);
  fs::rename(at("new"), at("kept"));  // a synced file replaced, the folder not synced
  fs::remove(at("made/clip"));
  reboot();
  EXPECT_FALSE(fs::exists(at("new")));
  EXPECT_EQ(readText(at("kept")), "old");
  EXPECT_FALSE(fs::exists(at("made/clip")));  // its creation was not synced either
  EXPECT_TRUE(fs::is_empty(at("made")));

  put("made/clip", "data", 0, true);
  ASSERT_TRUE(syncFolder(at("made")));
  fs::rename(at("kept"), at("made/moved"));  // waits for both folders
  ASSERT_TRUE(syncFolder(at("made")));
  reboot();
  EXPECT_EQ(readText(at("made/clip")), "data");
  EXPECT_EQ(readText(at("kept")), "old");
  EXPECT_FALSE(fs::exists(at("made/moved")));
  EXPECT_EQ(disk_->figures().undoFailures, 0);
}

TEST_F(LossyDiskTest, SimpleNamesLastAtOnceAndATornWriteKeepsWholeBlocks) {
  if (!mount(LossyDisk::Names::simple)) GTEST_SKIP() << why_;
  put("made", "", 0, true);
  put("made", std::string(4 * 4096 + 100, 'a'), 0, false);
  std::mt19937_64 random(7);
  disk_->powerCut(&random);
  disk_->remount();
  auto kept = fs::file_size(at("made"));
  EXPECT_EQ(kept % 4096, 0u);
  EXPECT_LE(kept, 4u * 4096);
  EXPECT_EQ(disk_->figures().bytesTorn, static_cast<std::int64_t>(kept));
}

}  // namespace
}  // namespace trellisant::testing
