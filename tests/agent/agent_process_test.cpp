// The real trellisant-agent program, started with a temporary home and no credentials.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "control/agent_status.h"
#include "settings/app_configuration.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

TEST(AgentProgram, FirstPassWritesSetupTheAppReadsItAndSigtermEndsWithStatusZero) {
  TempHome home;
  TempDir bin;
  // The control service trusts the "trellisant" executable beside the agent; the status probe
  // stands in for the app.
  fs::copy_file(TRELLISANT_AGENT_BINARY, bin / "trellisant-agent");
  fs::copy_file(TRELLISANT_STATUS_PROBE, bin / "trellisant");
  auto log = home.root() / "agent.log";

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::execl((bin / "trellisant-agent").c_str(), "trellisant-agent", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto statusFile = home.support() / "status.json";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(statusFile); }, 20s, 50ms));
  AgentStatus written = AgentStatus::load();
  EXPECT_EQ(written.state, "setup");
  EXPECT_EQ(written.message, "Sign in to Trellisant to receive footage.");

  auto socket = home.root() / "runtime" / "com.trellisant.agent";
  std::string reply = run((bin / "trellisant").string() + " " + socket.string());
  auto received = decodeAgentStatus(reply);
  ASSERT_TRUE(received) << reply;
  EXPECT_EQ(*received, written);
  // The running agent holds the per-user lock; asking for the version needs none.
  std::string version(AppConfiguration::version());
  EXPECT_EQ(run((bin / "trellisant-agent").string() + " --version"),
            "trellisant-agent " + version + "\n");

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(socket)) << "the control socket is removed on exit";
  EXPECT_EQ(readText(log), "trellisant-agent: started (version " + version +
                               ")\ntrellisant-agent: setup: Sign in to Trellisant to receive "
                               "footage.\ntrellisant-agent: stopped (version " + version + ")\n");
}

}  // namespace
}  // namespace trellisant::testing
