#include "log.h"

#include <gtest/gtest.h>

// A name from the server with a line break must not make a second, forged line.
TEST(Log, OneCallIsOneLineWithItsProgramName) {
  ::testing::internal::CaptureStderr();
  trellisant::writeLogLine("trellisant-agent", "file \"a\nstopped (version 9)\r\x7f\" completed");
  trellisant::writeLogLine("trellisant-agent", "café ready");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "trellisant-agent: file \"a\\x0astopped (version 9)\\x0d\\x7f\" completed\n"
            "trellisant-agent: café ready\n");
}
