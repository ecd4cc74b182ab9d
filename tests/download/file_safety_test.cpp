#include "download/file_safety.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const std::string kUnsafe = "This file has an unsafe destination name.";

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const TrellisantError& error) {
    return error.message();
  }
  return "";
}

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(FileSafety, ComponentsSplitsAndNormalizes) {
  EXPECT_EQ(FileSafety::components("a/b/c.mov"), (std::vector<std::string>{"a", "b", "c.mov"}));
  // "e" + combining acute accent comes back as the single composed letter.
  EXPECT_EQ(FileSafety::components("Cafe\xCC\x81/x"),
            (std::vector<std::string>{"Caf\xC3\xA9", "x"}));
  EXPECT_EQ(FileSafety::components("del\x7F"), std::vector<std::string>{"del\x7F"});
  EXPECT_EQ(FileSafety::components("..."), std::vector<std::string>{"..."});
}

TEST(FileSafety, ComponentsRefusesUnsafePieces) {
  for (std::string path :
       std::vector<std::string>{"", "a//b", "/a", "a/", "..", "a/../b", "./a", "a:b", "a\\b",
                                "a\tb", "a\nb", std::string("a\0b", 3), "a/\x1F"}) {
    EXPECT_EQ(failureOf([&] { FileSafety::components(path); }), kUnsafe) << path;
  }
}

TEST(FileSafety, ComponentsByteLimit) {
  EXPECT_NO_THROW(FileSafety::components(repeat("a", 240)));
  EXPECT_EQ(failureOf([&] { FileSafety::components(repeat("a", 241)); }), kUnsafe);
  const std::string han = "\xE6\xBC\xA2";  // three bytes in UTF-8
  EXPECT_NO_THROW(FileSafety::components("x/" + repeat(han, 80)));
  EXPECT_EQ(failureOf([&] { FileSafety::components("x/" + repeat(han, 81)); }), kUnsafe);
  // The limit applies to the composed form: 120 decomposed "é" (360 bytes) compose to 240 bytes.
  EXPECT_NO_THROW(FileSafety::components(repeat("e\xCC\x81", 120)));
}

TEST(FileSafety, SafeNameIsOneComposedPiece) {
  EXPECT_TRUE(FileSafety::safeName("file-1"));
  EXPECT_TRUE(FileSafety::safeName(repeat("a", 240)));
  for (std::string name :
       std::vector<std::string>{"", ".", "..", "a/b", "a:b", "a\\b", "a\x01", "e\xCC\x81"})
    EXPECT_FALSE(FileSafety::safeName(name)) << name;
  EXPECT_FALSE(FileSafety::safeName(repeat("a", 241)));
}

TEST(FileSafety, Label) {
  EXPECT_EQ(FileSafety::label("Acme: Film/TV"), "Acme_ Film_TV");
  EXPECT_EQ(FileSafety::label("back\\slash"), "back_slash");
  EXPECT_EQ(FileSafety::label(""), "Untitled");
  EXPECT_EQ(FileSafety::label("."), "Untitled");
  EXPECT_EQ(FileSafety::label(".."), "Untitled");
  EXPECT_EQ(FileSafety::label("..."), "...");
  EXPECT_EQ(FileSafety::label("tab\there\x7F"), "tab_here\x7F");
  EXPECT_EQ(FileSafety::label("a\r\nb"), "a_b");  // CR LF is one character
  EXPECT_EQ(FileSafety::label(repeat("x", 100)), repeat("x", 60));
  // Emoji and accented letters are kept and count as one character each.
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  EXPECT_EQ(FileSafety::label("Caf\xC3\xA9 " + family), "Caf\xC3\xA9 " + family);
  EXPECT_EQ(FileSafety::label(repeat(family, 61)), repeat(family, 60));
  EXPECT_EQ(FileSafety::label(repeat("e\xCC\x81", 61)), repeat("e\xCC\x81", 60));
  // A slash carrying a combining mark is still a slash.
  EXPECT_EQ(FileSafety::label("a/\xCC\x81"
                              "b"),
            "a_b");
  EXPECT_EQ(FileSafety::label("  spaced  "), "  spaced  ");
}

TEST(FileSafety, AllowedURL) {
  EXPECT_TRUE(FileSafety::allowedURL("https://storage.googleapis.com/bucket/f", false));
  EXPECT_TRUE(FileSafety::allowedURL("https://Storage.GoogleAPIs.com:8443/f", false));
  EXPECT_FALSE(FileSafety::allowedURL("https://user@storage.googleapis.com/f", false));
  EXPECT_FALSE(FileSafety::allowedURL("https://user:pw@storage.googleapis.com/f", false));
  EXPECT_FALSE(FileSafety::allowedURL("http://storage.googleapis.com/f", false));
  EXPECT_FALSE(FileSafety::allowedURL("ftp://storage.googleapis.com/f", false));
  EXPECT_FALSE(FileSafety::allowedURL("https://x.storage.googleapis.com/f", false));
  for (std::string host :
       {"a.googleusercontent.com", "bucket.s3.amazonaws.com", "cdn.frame.io", "d1.cloudfront.net"})
    EXPECT_TRUE(FileSafety::allowedURL("https://" + host + "/f", false)) << host;
  for (std::string host : {"googleusercontent.com", "amazonaws.com", "frame.io", "cloudfront.net",
                           "evilamazonaws.com", "amazonaws.com.evil.net", "example.com"})
    EXPECT_FALSE(FileSafety::allowedURL("https://" + host + "/f", false)) << host;
  EXPECT_FALSE(FileSafety::allowedURL("not a url", false));
  EXPECT_FALSE(FileSafety::allowedURL("/relative/path", false));
}

TEST(FileSafety, AllowedURLLocalRules) {
  for (bool allowLocal : {true, false}) {
    EXPECT_EQ(FileSafety::allowedURL("http://127.0.0.1:8123/f", allowLocal), allowLocal);
    EXPECT_EQ(FileSafety::allowedURL("http://localhost/f", allowLocal), allowLocal);
    EXPECT_EQ(FileSafety::allowedURL("http://LOCALHOST:9/f", allowLocal), allowLocal);
    EXPECT_FALSE(FileSafety::allowedURL("https://localhost/f", allowLocal));
    EXPECT_FALSE(FileSafety::allowedURL("http://[::1]:8123/f", allowLocal));
    EXPECT_FALSE(FileSafety::allowedURL("http://127.0.0.2/f", allowLocal));
    EXPECT_FALSE(FileSafety::allowedURL("http://user@localhost/f", allowLocal));
  }
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(FileSafety, DirectoryCreatesPrivateFoldersAndKeepsExistingModes) {
  TempDir temp;
  fs::create_directory(temp / "Acme");
  fs::permissions(temp / "Acme", fs::perms(0751));
  int fd = FileSafety::directory(temp.path(), {"Acme", "Project", "1234abcd Name"});
  ASSERT_GE(fd, 0);
  // The descriptor is the deepest folder.
  ASSERT_EQ(::mkdirat(fd, "probe", 0700), 0);
  ::close(fd);
  EXPECT_TRUE(fs::is_directory(temp / "Acme" / "Project" / "1234abcd Name" / "probe"));
  EXPECT_EQ(modeOf(temp / "Acme"), 0751u);
  EXPECT_EQ(modeOf(temp / "Acme" / "Project"), 0700u);
  EXPECT_EQ(modeOf(temp / "Acme" / "Project" / "1234abcd Name"), 0700u);

  fd = FileSafety::directory(temp.path(), {});
  struct stat a {
  }, b{};
  ASSERT_EQ(::fstat(fd, &a), 0);
  ::close(fd);
  ASSERT_EQ(::stat(temp.path().c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST(FileSafety, DirectoryRefusesSymbolicLinks) {
  TempDir temp;
  fs::create_directories(temp / "root" / "a");
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "root" / "a" / "link");
  EXPECT_EQ(failureOf([&] {
              FileSafety::directory(temp / "root", {"a", "link", "b", "c"});
            }),
            "A destination folder is unavailable or contains a symbolic link.");
  EXPECT_TRUE(fs::is_empty(temp / "elsewhere"));

  // A regular file in the way.
  testing::writeText(temp / "root" / "file", "x");
  EXPECT_EQ(failureOf([&] {
              FileSafety::directory(temp / "root", {"file", "b"});
            }),
            "A destination folder is unavailable or contains a symbolic link.");

  // The root itself as a link, or missing.
  fs::create_directory_symlink(temp / "elsewhere", temp / "rootlink");
  const std::string disk = "Connect your download disk and check folder permissions.";
  EXPECT_EQ(failureOf([&] { FileSafety::directory(temp / "rootlink", {"a"}); }), disk);
  EXPECT_EQ(failureOf([&] { FileSafety::directory(temp / "missing", {"a"}); }), disk);
  EXPECT_FALSE(fs::exists(temp / "missing"));
  EXPECT_TRUE(fs::is_empty(temp / "elsewhere"));
}

TEST(FileSafety, DirectoryRefusesUnsafeNamesBeforeTouchingTheDisk) {
  TempDir temp;
  for (std::vector<std::string> names : std::vector<std::vector<std::string>>{
           {"ok", ".."}, {"ok", ""}, {"ok", "a/b"}, {"ok", "a:b"}}) {
    EXPECT_EQ(failureOf([&] { FileSafety::directory(temp.path(), names); }), kUnsafe);
  }
  EXPECT_TRUE(fs::is_empty(temp.path()));
  // Also when the root is gone: the names are checked first.
  EXPECT_EQ(failureOf([&] { FileSafety::directory(temp / "missing", {".."}); }), kUnsafe);
}

TEST(FileSafety, DirectoryLeavesNoDescriptorOpen) {
  TempDir temp;
  fs::create_directory(temp / "a");
  fs::create_directory_symlink(temp.path(), temp / "a" / "link");
  int before = ::dup(0);
  ::close(before);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW(FileSafety::directory(temp.path(), {"a", "link"}), TrellisantError);
    ::close(FileSafety::directory(temp.path(), {"a", "b"}));
  }
  int after = ::dup(0);
  ::close(after);
  EXPECT_EQ(before, after);
}

}  // namespace
}  // namespace trellisant
