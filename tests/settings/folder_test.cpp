#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "settings/preferences.h"
#include "test_support.h"

using namespace trellisant;
using trellisant::testing::TempDir;
using trellisant::testing::writeText;

namespace {

const std::string kChooseAvailable = "Choose an available folder for your downloads.";
const std::string kCannotUse =
    "Trellisant could not use this folder. Check that the disk is connected and you have "
    "permission to save files there.";

std::string failure(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const TrellisantError& error) {
    return error.message();
  }
  return "(no failure)";
}

int probesIn(const std::filesystem::path& folder) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(".trellisant-folder-check-")) ++count;
  }
  return count;
}

}  // namespace

TEST(Folder, ChoosingAFolderStoresItsBookmarkAndLabelAndLeavesNoProbe) {
  TempDir dir;
  auto folder = dir / "Footage Drive";
  std::filesystem::create_directory(folder);
  Preferences p;
  p.setDestination(folder.string() + "/");
  EXPECT_EQ(p.destinationLabel, "Footage Drive");
  ASSERT_TRUE(p.destination);
  Json bookmark = Json::parse(*p.destination);
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(bookmark["path"], std::filesystem::canonical(folder).string());
  EXPECT_EQ(bookmark["dev"], static_cast<std::uint64_t>(info.st_dev));
  EXPECT_EQ(bookmark["ino"], static_cast<std::uint64_t>(info.st_ino));
  EXPECT_EQ(probesIn(folder), 0);
  EXPECT_EQ(p.rootURL(), std::filesystem::canonical(folder));

  // The bookmark survives a save and load.
  p.save(dir / "preferences.json");
  EXPECT_EQ(Preferences::load(dir / "preferences.json").rootURL(), std::filesystem::canonical(folder));
}

TEST(Folder, UnusableChoicesKeepTheEarlierFolder) {
  TempDir dir;
  auto good = dir / "good";
  std::filesystem::create_directory(good);
  writeText(dir / "clip.mov", "not a folder");
  std::filesystem::create_symlink(dir / "clip.mov", dir / "link-to-file");
  Preferences p;
  p.setDestination(good);
  const Preferences before = p;

  for (const std::filesystem::path& choice :
       {dir / "clip.mov", dir / "link-to-file", dir / "missing", std::filesystem::path("relative/folder")}) {
    EXPECT_EQ(failure([&] { p.setDestination(choice); }), kChooseAvailable) << choice;
    EXPECT_EQ(p, before) << choice;
  }
}

TEST(Folder, AFolderThatRefusesTheProbeIsRefused) {
  // procfs refuses new files even to root, like a disconnected or read-only disk.
  Preferences p;
  TempDir dir;
  p.setDestination(dir.path());
  const Preferences before = p;
  EXPECT_EQ(failure([&] { p.setDestination("/proc"); }), kCannotUse);
  EXPECT_EQ(p, before);
  EXPECT_EQ(probesIn("/proc"), 0);
}

TEST(Folder, AReadOnlyFolderIsRefusedAndLeftClean) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders; the procfs case covers the refusal";
  TempDir dir;
  auto good = dir / "good";
  auto locked = dir / "locked";
  std::filesystem::create_directory(good);
  std::filesystem::create_directory(locked);
  ::chmod(locked.c_str(), 0555);
  Preferences p;
  p.setDestination(good);
  const Preferences before = p;
  EXPECT_EQ(failure([&] { p.setDestination(locked); }), kCannotUse);
  EXPECT_EQ(p, before);
  EXPECT_EQ(probesIn(locked), 0);
}

TEST(Folder, RootURLFailsForMissingUnreadableAndStaleFolders) {
  TempDir dir;
  auto folder = dir / "Footage";
  std::filesystem::create_directory(folder);
  Preferences p;
  EXPECT_EQ(failure([&] { p.rootURL(); }), "Choose a download folder in Trellisant.");

  p.setDestination(folder);
  const std::string renew = "Choose your download folder again in Settings to renew access.";
  const std::string stale = "Choose your download folder again to renew access.";

  // A folder made anew at the same path is a different folder: the old one still exists
  // elsewhere, so the new one cannot reuse its inode.
  std::filesystem::rename(folder, dir / "moved");
  EXPECT_EQ(failure([&] { p.rootURL(); }), renew);
  std::filesystem::create_directory(folder);
  EXPECT_EQ(failure([&] { p.rootURL(); }), stale);
  std::filesystem::remove(folder);
  writeText(folder, "a file now");
  EXPECT_EQ(failure([&] { p.rootURL(); }), renew);

  // Bookmarks that do not decode.
  for (const std::string& bytes :
       {std::string("garbage"), std::string("{\"path\":\"relative\",\"dev\":1,\"ino\":2}"),
        std::string("{\"path\":\"/\",\"dev\":-1,\"ino\":2}"), std::string("{\"path\":\"/\"}"),
        std::string("[1,2]")}) {
    p.destination = bytes;
    EXPECT_EQ(failure([&] { p.rootURL(); }), renew) << bytes;
  }
}
