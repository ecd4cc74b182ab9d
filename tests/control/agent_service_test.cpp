#include "control/agent_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include "control/agent_status.h"
#include "control/status_client.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TempHome;
using testing::writeText;

// Runs a copy of status_probe against the socket and returns what it printed.
std::string runProbe(const fs::path& executable, const fs::path& socket) {
  std::string command = "'" + executable.string() + "' '" + socket.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

int connectTo(const fs::path& socket) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything the peer sends until it closes; nothing if it stays open for 10 s.
std::optional<std::string> readUntilClosed(int fd) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 10'000) != 1) return std::nullopt;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
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
  fs::path impostor = bin / "trellisant-copy";  // same program plus one byte
  fs::path socket = Paths::controlSocket();
};

TEST_F(AgentServiceTest, TheAppReceivesTheFallbackThenTheWrittenRecord) {
  AgentService service(socket, app);
  ASSERT_TRUE(service.listening());
  EXPECT_EQ(socket, home.root() / "runtime" / "com.trellisant.agent");

  Date before = SystemClock::now();
  auto fallback = decodeAgentStatus(runProbe(app, socket));
  ASSERT_TRUE(fallback);
  EXPECT_EQ(*fallback, AgentStatus::fallback(fallback->updatedAt));
  EXPECT_GE(fallback->updatedAt, before - std::chrono::milliseconds(1));

  AgentStatus written{"needs_attention", "Your download disk is full. Free up space to resume.",
                      "Day 3 – Cam A", 1'000, 2'000, dateFromReference(760'000'123)};
  written.save();
  EXPECT_EQ(decodeAgentStatus(runProbe(app, socket)), written);

  // A record missing a key is not passed on half-decoded.
  writeText(AgentStatus::file(), R"({"state":"ready","message":"m","transfer":"","bytes":0,"total":0})");
  auto reply = decodeAgentStatus(runProbe(app, socket));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->state, "setup");
  EXPECT_EQ(reply->message, "Enable receiving to get started.");
}

TEST_F(AgentServiceTest, EveryOtherExecutableIsRefused) {
  AgentStatus{"ready", "Ready to receive your company’s footage.", "", 0, 0, SystemClock::now()}
      .save();
  AgentService service(socket, app);
  EXPECT_EQ(runProbe(impostor, socket), "none");
  EXPECT_FALSE(requestAgentStatus(socket));  // this test program
  // The refusals are about the peer, not a broken service.
  auto reply = decodeAgentStatus(runProbe(app, socket));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->state, "ready");

  // A refused peer is disconnected without a word, whatever it sends.
  int fd = connectTo(socket);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "status\n", 7, MSG_NOSIGNAL), 7);
  EXPECT_EQ(readUntilClosed(fd), "");
  ::close(fd);
}

TEST_F(AgentServiceTest, WithoutAnAppExecutableEveryoneIsRefused) {
  AgentService service(socket, bin / "absent");
  EXPECT_TRUE(service.listening());
  EXPECT_EQ(runProbe(app, socket), "none");
  EXPECT_EQ(runProbe(impostor, socket), "none");
}

// With this test program as "the app", connections can be driven byte by byte.
TEST_F(AgentServiceTest, OnlyAStatusLineIsAnsweredAndSilentClientsAreDropped) {
  AgentService service(socket, fs::read_symlink("/proc/self/exe"), std::chrono::milliseconds(300));

  int silent = connectTo(socket);
  ASSERT_GE(silent, 0);
  // Served after the silent client times out, not blocked behind it.
  EXPECT_TRUE(requestAgentStatus(socket, std::chrono::seconds(10)));
  EXPECT_EQ(readUntilClosed(silent), "");
  ::close(silent);

  int other = connectTo(socket);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::send(other, "stop\n", 5, MSG_NOSIGNAL), 5);
  EXPECT_EQ(readUntilClosed(other), "");
  ::close(other);

  // A request ended by closing our side instead of a newline still counts.
  int unterminated = connectTo(socket);
  ASSERT_GE(unterminated, 0);
  ASSERT_EQ(::send(unterminated, "status", 6, MSG_NOSIGNAL), 6);
  ::shutdown(unterminated, SHUT_WR);
  auto reply = readUntilClosed(unterminated);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(decodeAgentStatus(*reply)) << *reply;
  ::close(unterminated);
}

TEST_F(AgentServiceTest, SocketIsPrivateAndRemovedWhenTheServiceEnds) {
  fs::path nested = home.root() / "runtime" / "made" / "here" / "agent.sock";
  {
    AgentService service(nested, app);
    ASSERT_TRUE(service.listening());
    EXPECT_TRUE(S_ISSOCK(modeOf(nested)));
    EXPECT_EQ(modeOf(nested) & 0777, 0600u);
    EXPECT_EQ(modeOf(nested.parent_path()) & 0777, 0700u);
    EXPECT_EQ(modeOf(nested.parent_path().parent_path()) & 0777, 0700u);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(nested)));
  EXPECT_FALSE(requestAgentStatus(nested));
}

TEST_F(AgentServiceTest, StaleSocketsAreReplacedButOtherFilesAreLeftAlone) {
  {
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);  // the file stays, nobody listens
    AgentService service(socket, app);
    EXPECT_TRUE(decodeAgentStatus(runProbe(app, socket)));
  }

  writeText(socket, "not a socket");
  {
    AgentService service(socket, app);
    EXPECT_FALSE(service.listening());
  }
  EXPECT_EQ(testing::readText(socket), "not a socket");
}

TEST_F(AgentServiceTest, AnEndingServiceLeavesItsSuccessorsSocketInPlace) {
  fs::path self = fs::read_symlink("/proc/self/exe");
  auto first = std::make_unique<AgentService>(socket, self);
  AgentService second(socket, self);
  first.reset();
  EXPECT_TRUE(fs::exists(fs::symlink_status(socket)));
  EXPECT_TRUE(requestAgentStatus(socket));
}

}  // namespace
}  // namespace trellisant
