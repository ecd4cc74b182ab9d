// The agent's control socket: only the app beside the agent is answered, with status.json or
// its fallback; the socket is private and never takes another file's place.
#include "control/agent_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "control/agent_status.h"
#include "control/status_client.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TempHome;
using testing::writeText;

// Runs a copy of status_probe against the socket: the reply, or "none" when refused.
std::string runProbe(const fs::path& executable, const fs::path& socket) {
  FILE* pipe = ::popen(("'" + executable.string() + "' '" + socket.string() + "'").c_str(), "r");
  std::string output(4096, '\0');
  output.resize(std::fread(output.data(), 1, output.size(), pipe));
  EXPECT_EQ(::pclose(pipe), 0);
  return output.substr(0, output.find('\n'));
}

// A socket connected (or, with `bindOnly`, bound) to the path.
int socketAt(const fs::path& path, bool bindOnly = false) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  auto* at = reinterpret_cast<sockaddr*>(&address);
  EXPECT_EQ(bindOnly ? ::bind(fd, at, sizeof address) : ::connect(fd, at, sizeof address), 0);
  return fd;
}

// Sends `request` (closing our side when asked) and returns everything the peer sends until
// it closes; "(open)" if it stays open for 10 s.
std::string exchange(int fd, std::string_view request, bool shutWrite = false) {
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (shutWrite) ::shutdown(fd, SHUT_WR);
  std::string bytes;
  char buffer[4096];
  ssize_t n = 1;
  for (pollfd entry{fd, POLLIN, 0}; n > 0 && ::poll(&entry, 1, 10'000) == 1;)
    if ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return n > 0 ? "(open)" : bytes;
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
    std::ofstream(impostor, std::ios::binary | std::ios::app).put('\0');
  }

  TempHome home;
  TempDir bin;
  fs::path app = bin / "trellisant";
  fs::path impostor = bin / "trellisant-copy";  // the same program plus one byte
  fs::path socket = Paths::controlSocket();
  fs::path self = fs::read_symlink("/proc/self/exe");
};

TEST_F(AgentServiceTest, OnlyTheAppIsAnsweredWithTheRecordOrTheFallback) {
  AgentService service(socket, app);
  ASSERT_TRUE(service.listening());
  EXPECT_EQ(socket, home.root() / "runtime" / "com.trellisant.agent");
  Date before = SystemClock::now() - std::chrono::seconds(1);
  for (const std::string& damaged :
       {std::string(), std::string("{\"state\":\"rea"), std::string(R"({"state":"ready","message":"m","transfer":"","bytes":0,"total":0})"),
        std::string(R"({"state":"ready","message":"m","transfer":"","bytes":0,"total":0,"updatedAt":9e9})")}) {
    if (!damaged.empty()) writeText(AgentStatus::file(), damaged);
    auto reply = decodeAgentStatus(runProbe(app, socket));
    ASSERT_TRUE(reply) << damaged;
    EXPECT_EQ(*reply, AgentStatus::fallback(reply->updatedAt)) << damaged;
    EXPECT_GE(reply->updatedAt, before);
  }
  AgentStatus written{"needs_attention", "Your download disk is full. Free up space to resume.", "Day 3 – Cam A",
                      1'000, 2'000, dateFromReference(760'000'123)};
  written.save();
  EXPECT_EQ(decodeAgentStatus(runProbe(app, socket)), written);

  EXPECT_EQ(runProbe(impostor, socket), "none");
  EXPECT_FALSE(requestAgentStatus(socket)) << "this test program is refused";
  EXPECT_EQ(exchange(socketAt(socket), "status\n"), "") << "a refused peer is dropped without a word";
  EXPECT_EQ(decodeAgentStatus(runProbe(app, socket)), written) << "the refusals did not break the service";

  AgentService noApp(home.root() / "other.sock", bin / "absent");
  EXPECT_TRUE(noApp.listening());
  EXPECT_EQ(runProbe(app, home.root() / "other.sock"), "none") << "without the app everyone is refused";
}

// With this test program as "the app", connections can be driven byte by byte.
TEST_F(AgentServiceTest, OnlyAStatusLineIsAnsweredAndSilentClientsAreDropped) {
  AgentService service(socket, self, std::chrono::milliseconds(300));
  int silent = socketAt(socket);
  EXPECT_TRUE(requestAgentStatus(socket, std::chrono::seconds(10))) << "not blocked behind a silent client";
  EXPECT_EQ(exchange(silent, ""), "");
  EXPECT_EQ(exchange(socketAt(socket), "stop\n"), "");
  EXPECT_TRUE(decodeAgentStatus(exchange(socketAt(socket), "status", true))) << "a request ended by closing";
}

TEST_F(AgentServiceTest, TheSocketIsPrivateAndNeverTakesAnotherFilesPlace) {
  fs::path nested = home.root() / "runtime" / "made" / "here" / "agent.sock";
  {
    AgentService service(nested, app);
    ASSERT_TRUE(service.listening());
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
    // A successor takes the place; the ending first service leaves the successor's socket.
    AgentService second(socket, self);
    first.reset();
    EXPECT_TRUE(requestAgentStatus(socket));
  }
  writeText(socket, "not a socket");
  EXPECT_FALSE(AgentService(socket, app).listening());
  EXPECT_EQ(testing::readText(socket), "not a socket");
}

}  // namespace
}  // namespace trellisant
