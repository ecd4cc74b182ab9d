#include "log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "test_support.h"

namespace trellisant::testing {
namespace {

// A name from the server with a line break must not make a second, forged line.
TEST(Log, OneCallIsOneLineWithItsProgramName) {
  TempDir temp;
  int saved = ::dup(STDERR_FILENO);
  int fd = ::open((temp / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ::dup2(fd, STDERR_FILENO);
  writeLogLine("trellisant-agent", "file \"a\nstopped (version 9)\r\x7f\" completed");
  writeLogLine("trellisant-agent", "café ready");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fd);
  EXPECT_EQ(readText(temp / "stderr"),
            "trellisant-agent: file \"a\\x0astopped (version 9)\\x0d\\x7f\" completed\n"
            "trellisant-agent: café ready\n");
}

}  // namespace
}  // namespace trellisant::testing
