// The agent's control socket: only the app beside the agent is answered; the socket is private
// and never takes another file's place.
#include "control/agent_service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "control/status_client.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

// Runs a copy of status_probe as the app: the status the socket answers it, if any.
std::optional<AgentStatus> probe(const fs::path& executable, const fs::path& socket) {
  FILE* pipe = ::popen(("'" + executable.string() + "' '" + socket.string() + "'").c_str(), "r");
  std::string output(4096, '\0');
  output.resize(std::fread(output.data(), 1, output.size(), pipe));
  EXPECT_EQ(::pclose(pipe), 0);
  return decodeAgentStatus(output.substr(0, output.find('\n')));
}

class AgentServiceTest : public ::testing::Test {
 protected:
  AgentServiceTest() { fs::copy_file(TRELLISANT_STATUS_PROBE, app); }
  testing::TempHome home;
  fs::path app = home.root() / "trellisant", socket = Paths::controlSocket(), self = fs::read_symlink("/proc/self/exe");
};

TEST_F(AgentServiceTest, OnlyTheAppIsAnswered) {
  AgentService service(socket, app);
  ASSERT_TRUE(service.listening());
  EXPECT_EQ(socket, home.root() / "runtime" / "com.trellisant.agent");
  AgentStatus written{"needs_attention", "Your disk is full.", "Day 3 – Cam A", 1'000, 2'000, dateFromReference(760'000'123)};
  written.save();
  EXPECT_EQ(probe(app, socket), written);
  // Another program of this user (the app with one byte changed is the fault suite's).
  EXPECT_FALSE(requestAgentStatus(socket)) << "this test program is refused";
  EXPECT_EQ(probe(app, socket), written) << "the refusal did not break the service";
}

TEST_F(AgentServiceTest, TheSocketIsPrivateAndNeverTakesAnotherFilesPlace) {
  fs::path nested = home.root() / "runtime" / "made" / "here" / "agent.sock";
  {
    AgentService service(nested, self);
    EXPECT_EQ(fs::symlink_status(nested).type(), fs::file_type::socket);
    EXPECT_EQ(fs::status(nested).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    for (const auto& made : {nested.parent_path(), nested.parent_path().parent_path()})
      EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all) << made;
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(nested))) << "removed when the service ends";

  // A stale socket: its file left, nobody listening.
  sockaddr_un address{AF_UNIX, {}};
  std::strcpy(address.sun_path, socket.c_str());
  int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  {
    auto first = std::make_unique<AgentService>(socket, self);
    EXPECT_TRUE(requestAgentStatus(socket)) << "the stale socket was replaced";
    AgentService second(socket, self);
    first.reset();
    EXPECT_TRUE(requestAgentStatus(socket)) << "the ending first service leaves its successor's socket";
  }
  testing::writeText(socket, "not a socket");
  EXPECT_FALSE(AgentService(socket, app).listening());
  EXPECT_EQ(testing::readText(socket), "not a socket");
}

}  // namespace
}  // namespace trellisant
