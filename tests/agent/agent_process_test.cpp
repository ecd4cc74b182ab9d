// The real trellisant-agent program, started with a temporary home and no credentials.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control/agent_status.h"
#include "settings/app_configuration.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;

TEST(AgentProgram, FirstPassWritesSetupAndSigtermEndsWithStatusZero) {
  TempHome home;
  auto log = home.root() / "agent.log";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    ::execl(TRELLISANT_AGENT_BINARY, "trellisant-agent", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  EXPECT_TRUE(waitUntil([&] { return fs::exists(home.support() / "status.json"); }, std::chrono::seconds(20)));
  EXPECT_EQ(AgentStatus::load().state, "setup");
  EXPECT_EQ(AgentStatus::load().message, "Sign in to Trellisant to receive footage.");
  auto socket = home.root() / "runtime" / "com.trellisant.agent";
  EXPECT_TRUE(fs::exists(socket));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(socket)) << "the control socket is removed on exit";
  EXPECT_TRUE(readText(log).ends_with(": stopped (version " + std::string(AppConfiguration::version()) + ")\n")) << readText(log);
}

}  // namespace
}  // namespace trellisant::testing
