// status.json as the agent writes it and as every reader meets it, damaged included, and the
// agent's control socket that hands it to the app beside the agent: only the app is answered;
// the socket is private and never takes another file's place.
#include "control/agent_service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "control/status_client.h"
#include "fileio.h"
#include "test_support.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

const AgentStatus kDownloading{AgentState::downloading, "Downloading original footage", "Day 3 – Cam A", 12'345'678'901,
                               98'765'432'109, dateFromSecondsSince2001(760'000'000)};

TEST(AgentStatusTest, EveryDamagedRecordLoadsAsTheFallback) {
  testing::TempHome home;
  kDownloading.save();
  const std::string valid = testing::readText(Paths::statusFile());
  EXPECT_EQ(AgentStatus::load(), kDownloading);

  std::vector<std::string> records = {"", "null", "[]", "{}", "\"ready\"", "{\"state\":\"ready\xff\"}", std::string(100000, '{')};
  for (std::size_t length = 1; length < valid.size(); ++length) records.push_back(valid.substr(0, length));
  for (const char* field : {R"("state":null)", R"("message":["m"])", R"("transfer":null)", R"("bytes":"10")",
                            R"("bytes":1.5)", R"("total":9223372036854775808)", R"("updatedAt":"today")",
                            R"("updated_at":1,"updatedAt":null)",
                            // Dates the clock cannot hold (it ends in 2262) must not wrap around.
                            R"("updatedAt":8.5e9)", R"("updatedAt":-1.1e10)", R"("updatedAt":1e300)"}) {
    Json json = Json::parse(valid);
    json.update(Json::parse("{" + std::string(field) + "}"));
    if (json["updatedAt"].is_null()) json.erase("updatedAt");
    records.push_back(json.dump());
  }
  records.insert(records.end(), {"no file", "dangling link"});
  const Date before = SystemClock::now();
  for (const auto& content : records) {
    if (content == "no file") fs::remove(Paths::statusFile());
    else if (content == "dangling link") fs::create_symlink(home.root() / "gone.json", Paths::statusFile());
    else testing::writeText(Paths::statusFile(), content);
    EXPECT_FALSE(decodeAgentStatus(content)) << content.substr(0, 80);
    AgentStatus status = AgentStatus::load();
    EXPECT_EQ(status, AgentStatus::fallback(status.updatedAt)) << content.substr(0, 80);
    EXPECT_TRUE(status.updatedAt >= before && status.updatedAt <= SystemClock::now()) << content.substr(0, 80);
  }
}

TEST(AgentStatusTest, AWordOfANewerAgentIsKeptAsItStands) {
  Json json = kDownloading.toJson();
  json["state"] = "archiving";
  auto status = decodeAgentStatus(json.dump());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->stateWord(), "archiving");
  EXPECT_EQ(status->toJson(), json);
}

// The writer goes on until the reader has made 100 reads that began after writing did: reads
// that overlapped the writes, counted rather than hoped for.
TEST(AgentStatusTest, ReadersNeverSeeAPartialFile) {
  testing::TempHome home;
  AgentStatus large = kDownloading;
  large.message = std::string(200'000, 'm');  // spans many writes and pages
  kDownloading.save();
  std::atomic<bool> writing = false, done = false;
  std::atomic<int> reads = 0, torn = 0;
  std::thread reader([&] {
    while (!done) {
      const bool counts = writing;
      auto bytes = readFile(Paths::statusFile());
      auto status = bytes ? decodeAgentStatus(*bytes) : std::nullopt;
      torn += !status || (*status != kDownloading && *status != large);
      reads += counts;
    }
  });
  writing = true;
  for (int i = 0; reads < 100; ++i) (i % 2 ? kDownloading : large).save();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

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
  AgentStatus written{AgentState::needsAttention, "Your disk is full.", "Day 3 – Cam A", 1'000, 2'000, dateFromSecondsSince2001(760'000'123)};
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
