#include "log.h"

#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

namespace trellisant::testing {
namespace {

// A name from the server with a line break must not make a second, forged line.
TEST(Log, OneCallIsOneLineWithItsProgramName) {
  ::testing::internal::CaptureStderr();
  writeLogLine("trellisant-agent", "file \"a\nstopped (version 9)\r\x7f\" completed");
  writeLogLine("trellisant-agent", "café ready");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "trellisant-agent: file \"a\\x0astopped (version 9)\\x0d\\x7f\" completed\n"
            "trellisant-agent: café ready\n");
}

// The log of an agent started detached: private, and never more than twice its cap.
TEST(Log, FileOfItsOwnIsPrivateAndCapped) {
  TempHome home;
  auto file = logFile("trellisant-agent");
  EXPECT_EQ(file, home.root() / "home/.local/state/trellisant/trellisant-agent.log");
  fs::create_directories(file.parent_path());
  fs::permissions(file.parent_path(), fs::perms::all);
  writeText(file, "left by hand\n");
  auto isPrivate = [](const fs::path& path) { return fs::status(path).permissions() == (fs::perms::owner_read | fs::perms::owner_write); };
  CappedLogFile log(file, 100);
  for (int i = 0; i < 20; ++i) {
    log.write("trellisant-agent", "line\n" + std::to_string(i));
    EXPECT_TRUE(isPrivate(file)) << i;
  }
  const std::string line = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ trellisant-agent: line\\x0a)";
  EXPECT_TRUE(std::regex_match(readText(file), std::regex("(" + line + "\\d+\n)*" + line + "19\n"))) << readText(file);
  EXPECT_TRUE(fs::file_size(file) <= 100 && fs::file_size(file.string() + ".1") <= 100 && isPrivate(file.string() + ".1"));
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
}

}  // namespace
}  // namespace trellisant::testing
