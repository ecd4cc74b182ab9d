#include "download/file_safety.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "error.h"
#include "test_support.h"
#include "unique_fd.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
const std::string kUnsafe = FileSafety::unsafeNameMessage;

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(FileSafety, ComponentsAreComposedSafeAndWithinTheByteLimit) {
  // "e" + combining acute accent comes back as the single composed letter.
  EXPECT_EQ(FileSafety::components("Cafe\xCC\x81/x/..."), (std::vector<std::string>{"Caf\xC3\xA9", "x", "..."}));
  for (std::string path : {std::string(), std::string("a//b"), std::string("/a"), std::string("a/"),
                           std::string(".."), std::string("a/../b"), std::string("./a"), std::string("a:b"),
                           std::string("a\\b"), std::string("a\tb"), std::string("a\0b", 3),
                           std::string("a/\x1F"), repeat("a", 241), "x/" + repeat("\xE6\xBC\xA2", 81)})
    EXPECT_EQ(failureOf([&] { FileSafety::components(path); }), kUnsafe) << path;
  // 240 bytes pass, counted in the composed form: 120 decomposed "é" (360 bytes) make 240.
  for (std::string path : {repeat("a", 240), "x/" + repeat("\xE6\xBC\xA2", 80), repeat("e\xCC\x81", 120)})
    EXPECT_NO_THROW(FileSafety::components(path));
}

TEST(FileSafety, DirectoryMakesPrivateFoldersAndRefusesLinks) {
  TempDir temp;
  fs::create_directory(temp / "Acme");
  fs::permissions(temp / "Acme", fs::perms(0751));
  {
    UniqueFd fd(FileSafety::directory(temp.path(), {"Acme", "Project", "1234abcd Name"}));
    ASSERT_EQ(::mkdirat(fd.get(), "probe", 0700), 0);  // the descriptor is the deepest folder
  }
  EXPECT_TRUE(fs::is_directory(temp / "Acme/Project/1234abcd Name/probe"));
  EXPECT_EQ(modeOf(temp / "Acme"), 0751u) << "the user's own folder keeps its mode";
  EXPECT_EQ(modeOf(temp / "Acme/Project"), 0700u);
  EXPECT_EQ(modeOf(temp / "Acme/Project/1234abcd Name"), 0700u);

  // A link or a file in the way, or an unsafe name: nothing is made anywhere.
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "Acme/link");
  fs::create_directory_symlink(temp / "elsewhere", temp / "rootlink");
  writeText(temp / "file", "x");
  const std::string linked = "A destination folder is unavailable or contains a symbolic link.";
  const std::string disk = "Connect your download disk and check folder permissions.";
  for (auto [root, names, message] : std::vector<std::tuple<fs::path, std::vector<std::string>, std::string>>{
           {temp.path(), {"Acme", "link", "b"}, linked}, {temp.path(), {"file", "b"}, linked},
           {temp / "rootlink", {"a"}, disk}, {temp / "missing", {"a"}, disk},
           {temp.path(), {"ok", ".."}, kUnsafe}, {temp.path(), {"ok", "a/b"}, kUnsafe},
           {temp / "missing", {".."}, kUnsafe}})
    EXPECT_EQ(failureOf([&] { FileSafety::directory(root, names); }), message) << names.back();
  EXPECT_TRUE(fs::is_empty(temp / "elsewhere"));
  EXPECT_FALSE(fs::exists(temp / "ok") || fs::exists(temp / "missing"));
}

}  // namespace
}  // namespace trellisant::testing
