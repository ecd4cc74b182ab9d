// The agent's control socket: only the app beside the agent is answered, with status.json or
// its fallback; the socket is private and never takes another file's place.
#include "control/agent_service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "control/status_client.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

// A socket connected (or, with `bindOnly`, bound) to the path.
int socketAt(const fs::path& path, bool bindOnly = false) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::strcpy(address.sun_path, path.c_str());
  auto* at = reinterpret_cast<sockaddr*>(&address);
  EXPECT_EQ(bindOnly ? ::bind(fd, at, sizeof address) : ::connect(fd, at, sizeof address), 0);
  return fd;
}

// Sends `request` and returns everything the peer sends until it closes.
std::string exchange(int fd, std::string_view request) {
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string bytes(4096, '\0');
  bytes.resize(std::max<ssize_t>(0, ::recv(fd, bytes.data(), bytes.size(), MSG_WAITALL)));
  ::close(fd);
  return bytes;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

class AgentServiceTest : public ::testing::Test {
 protected:
  AgentServiceTest() {
    fs::copy_file(TRELLISANT_STATUS_PROBE, app);
    fs::copy_file(TRELLISANT_STATUS_PROBE, impostor);
    std::ofstream(impostor, std::ios::binary | std::ios::app).put('\0');  // the same program plus one byte
  }
  // Runs a copy of status_probe against the socket: the reply it prints, or "none" when refused.
  std::optional<AgentStatus> probe(const fs::path& executable, const fs::path& at) {
    FILE* pipe = ::popen(("'" + executable.string() + "' '" + at.string() + "'").c_str(), "r");
    std::string output(4096, '\0');
    output.resize(std::fread(output.data(), 1, output.size(), pipe));
    EXPECT_EQ(::pclose(pipe), 0);
    return decodeAgentStatus(output.substr(0, output.find('\n')));
  }

  testing::TempHome home;
  testing::TempDir bin;
  fs::path app = bin / "trellisant", impostor = bin / "trellisant-copy";
  fs::path socket = Paths::controlSocket(), self = fs::read_symlink("/proc/self/exe");
};

TEST_F(AgentServiceTest, OnlyTheAppIsAnsweredWithTheRecordOrTheFallback) {
  AgentService service(socket, app);
  ASSERT_TRUE(service.listening());
  EXPECT_EQ(socket, home.root() / "runtime" / "com.trellisant.agent");
  testing::writeText(AgentStatus::file(), "{\"state\":\"rea");
  auto reply = probe(app, socket);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, AgentStatus::fallback(reply->updatedAt)) << "a damaged record is answered as the fallback";
  AgentStatus written{"needs_attention", "Your disk is full.", "Day 3 – Cam A", 1'000, 2'000, dateFromReference(760'000'123)};
  written.save();
  EXPECT_EQ(probe(app, socket), written);

  EXPECT_FALSE(probe(impostor, socket));
  EXPECT_FALSE(requestAgentStatus(socket)) << "this test program is refused";
  EXPECT_EQ(exchange(socketAt(socket), "status\n"), "") << "a refused peer is dropped without a word";
  EXPECT_EQ(probe(app, socket), written) << "the refusals did not break the service";

  AgentService noApp(home.root() / "other.sock", bin / "absent");
  EXPECT_TRUE(noApp.listening());
  EXPECT_FALSE(probe(app, home.root() / "other.sock")) << "without the app everyone is refused";
}

TEST_F(AgentServiceTest, TheSocketIsPrivateAndNeverTakesAnotherFilesPlace) {
  fs::path nested = home.root() / "runtime" / "made" / "here" / "agent.sock";
  {
    AgentService service(nested, self, std::chrono::milliseconds(300));
    int silent = socketAt(nested);
    EXPECT_TRUE(requestAgentStatus(nested, std::chrono::seconds(10))) << "not blocked behind a silent client";
    EXPECT_EQ(exchange(silent, ""), "") << "which is dropped";
    EXPECT_EQ(exchange(socketAt(nested), "stop\n"), "") << "only a status line is answered";
    EXPECT_TRUE(S_ISSOCK(modeOf(nested)));
    EXPECT_EQ(modeOf(nested) & 0777, 0600u);
    EXPECT_EQ(modeOf(nested.parent_path()) & 0777, 0700u);
    EXPECT_EQ(modeOf(nested.parent_path().parent_path()) & 0777, 0700u);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(nested))) << "removed when the service ends";

  ::close(socketAt(socket, true));  // a stale socket: its file left, nobody listening
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
