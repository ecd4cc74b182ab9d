// The lossy disk of the power-loss tests really forgets: without this the power-loss scenarios
// could pass on a disk that keeps everything.
#include "lossy_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fileio.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;

TEST(LossyDisk, UnsyncedDataAndNamesAreGoneAfterAPowerCut) {
  TempDir temp;
  std::string why;
  auto disk = lossyDiskForTest(temp.path(), why);
  if (!disk) GTEST_SKIP() << why;
  auto at = [&](const std::string& name) { return disk->mountPoint() / name; };
  auto put = [&](const std::string& name, const std::string& text, off_t offset, bool sync) {
    UniqueFd fd(::open(at(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::pwrite(fd.get(), text.data(), text.size(), offset), static_cast<ssize_t>(text.size()));
    EXPECT_TRUE(!sync || ::fsync(fd.get()) == 0);
  };
  put("clip", "synced", 0, true);
  ASSERT_TRUE(syncFolder(disk->mountPoint()));
  put("clip", "-cached", 6, false);
  put("new", "never synced", 0, true);  // its name was never synced
  EXPECT_EQ(readText(at("clip")), "synced-cached");  // readers see the cache over the disk
  disk->powerCut();
  disk->remount();
  EXPECT_EQ(readText(at("clip")), "synced");
  EXPECT_FALSE(fs::exists(at("new")));
  EXPECT_EQ(disk->figures().bytesDropped, 7);
  EXPECT_EQ(disk->figures().undoFailures, 0);
}

}  // namespace
}  // namespace trellisant::testing
