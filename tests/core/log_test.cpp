#include "log.h"

#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

namespace trellisant::testing {
namespace {

// A name from the server with a line break must not make a second, forged line. The log of an
// agent started detached is private, and never more than twice its cap.
TEST(Log, OneCallIsOneLineOnStandardErrorOrInAPrivateCappedFile) {
  ::testing::internal::CaptureStderr();
  writeLogLine("trellisant-agent", "file \"a\nstopped (version 9)\r\x7f\" completed");
  writeLogLine("trellisant-agent", "café ready");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "trellisant-agent: file \"a\\x0astopped (version 9)\\x0d\\x7f\" completed\n"
            "trellisant-agent: café ready\n");

  TempHome home;
  auto file = logFile("trellisant-agent");
  EXPECT_EQ(file, home.root() / "home/.local/state/trellisant/trellisant-agent.log");
  fs::create_directories(file.parent_path());
  fs::permissions(file.parent_path(), fs::perms::all);
  writeText(file, "left by hand\n");
  auto isPrivate = [](const fs::path& path) { return fs::status(path).permissions() == (fs::perms::owner_read | fs::perms::owner_write); };
  CappedLogFile log(file, 100);
  log.write("trellisant-agent", "first");
  EXPECT_TRUE(isPrivate(file));
  for (int i = 0; i < 20; ++i) log.write("trellisant-agent", "line\n" + std::to_string(i));
  EXPECT_TRUE(std::regex_search(readText(file), std::regex(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ trellisant-agent: line\\x0a19\n$)")));
  EXPECT_TRUE(fs::file_size(file) <= 100 && fs::file_size(file.string() + ".1") <= 100 && isPrivate(file.string() + ".1"));
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
}

}  // namespace
}  // namespace trellisant::testing
