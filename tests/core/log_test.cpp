#include "log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "test_support.h"
#include "settings/paths.h"

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
  auto file = Paths::logFile("trellisant-agent");
  EXPECT_EQ(file, home.root() / "home/.local/state/trellisant/trellisant-agent.log");
  fs::create_directories(file.parent_path());
  fs::permissions(file.parent_path(), fs::perms::all);
  writeText(file, "left by hand\n");
  auto isPrivate = [](const fs::path& path) { return fs::status(path).permissions() == (fs::perms::owner_read | fs::perms::owner_write); };
  CappedLogFile log(file, 100);
  log.write("trellisant-agent", "first");
  EXPECT_TRUE(isPrivate(file));
  for (int i = 0; i < 20; ++i) log.write("trellisant-agent", "line\n" + std::to_string(i));
  // The last line: a UTC time stamp, the program, the line with its control character escaped.
  const std::string text = readText(file);
  const std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
  const std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  EXPECT_TRUE(last.size() > shape.size() &&
              std::equal(shape.begin(), shape.end(), last.begin(), [](char p, char c) {
                return p == 'd' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : p == c;
              }))
      << last;
  EXPECT_EQ(last.substr(shape.size()), " trellisant-agent: line\\x0a19\n");
  EXPECT_TRUE(fs::file_size(file) <= 100 && fs::file_size(file.string() + ".1") <= 100 && isPrivate(file.string() + ".1"));
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
}

}  // namespace
}  // namespace trellisant::testing
