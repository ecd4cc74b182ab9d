// What lands on the disk: safe names and folders, and the journal of what they hold.
#include "download/file_safety.h"

#include <gtest/gtest.h>

#include <thread>

#include "api/records.h"
#include "download/download_messages.h"
#include "download/journal.h"
#include "error.h"
#include "test_support.h"
#include "unique_fd.h"
#include "settings/paths.h"

namespace trellisant::testing {
namespace {

const std::string kUnsafe = DownloadMessages::unsafeName;

TEST(FileSafety, ComponentsAreComposedSafeAndWithinTheByteLimit) {
  auto repeat = [](const std::string& piece, int times) {
    std::string out;
    while (times-- > 0) out += piece;
    return out;
  };
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
  UniqueFd(FileSafety::directory(temp.path(), {"Acme", "Project", "1234abcd Name"}));
  EXPECT_EQ(fs::status(temp / "Acme").permissions(), fs::perms(0751)) << "the user's own folder keeps its mode";
  for (auto made : {"Acme/Project", "Acme/Project/1234abcd Name"}) EXPECT_EQ(fs::status(temp / made).permissions(), fs::perms(0700));

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
           {temp.path(), {"ok", ".."}, kUnsafe}, {temp.path(), {"ok", "a/b"}, kUnsafe}, {temp / "missing", {".."}, kUnsafe}})
    EXPECT_EQ(failureOf([&] { FileSafety::directory(root, names); }), message) << names.back();
  EXPECT_TRUE(fs::is_empty(temp / "elsewhere"));
  EXPECT_FALSE(fs::exists(temp / "ok") || fs::exists(temp / "missing"));
}

ManifestFile manifestFile(const std::string& id, const std::string& fingerprint = "v1") {
  return {id, id + ".mov", "100", fingerprint, std::nullopt, std::nullopt};
}

TEST(Journal, PrivateSharedAcrossThreadsAndRefusingAChangedSource) {
  TempHome home;
  fs::create_directories(home.support());
  EXPECT_EQ(Paths::journalFile(), home.support() / "downloads.sqlite");
  {
    Journal journal(Paths::journalFile());
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        std::string file = "f" + std::to_string(t);
        journal.record("d", manifestFile(file));
        for (int i = 1; i <= 20; ++i) journal.checkpoint("d", file, i, JournalState::partial, std::nullopt), journal.bytes("d");
      });
    threads.clear();
    EXPECT_EQ(journal.bytes("d"), 80);
    for (const char* suffix : {"", "-wal", "-shm"})  // write-ahead logging, all private
      EXPECT_EQ(fs::status(Paths::journalFile().string() + suffix).permissions(), fs::perms(0600)) << suffix;
  }
  // Reopened: a row recorded for another version of the source is refused and kept.
  Journal journal(Paths::journalFile());
  EXPECT_EQ(failureOf([&] { journal.record("d", manifestFile("f0", "v2")); }),
            "The source version changed. Ask for a new transfer.");
  EXPECT_EQ(journal.record("d", manifestFile("f0", "v1")).offset, 20);
}

}  // namespace
}  // namespace trellisant::testing
