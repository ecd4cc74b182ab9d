// A damaged status.json gives the fallback record everywhere it is read, and a damaged
// credentials.json reaches the user through the agent's status with the decoding text.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "agent.h"
#include "control/agent_service.h"
#include "control/agent_status.h"
#include "platform/power_policy.h"
#include "settings/paths.h"
#include "settings/preferences.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::TempHome;
using testing::writeText;

// The fallback record, whatever its time, made between `before` and now.
void expectFallback(const AgentStatus& status, Date before, const std::string& content) {
  EXPECT_EQ(status, AgentStatus::fallback(status.updatedAt)) << content.substr(0, 80);
  EXPECT_GE(status.updatedAt, before) << content.substr(0, 80);
  EXPECT_LE(status.updatedAt, SystemClock::now());
}

std::vector<std::string> brokenRecords() {
  const std::string valid =
      R"({"state":"downloading","message":"Downloading original footage","transfer":"Dailies","bytes":10,"total":20,"updatedAt":780000000.5})";
  std::vector<std::string> records = {"",
                                      "null",
                                      "[]",
                                      "{}",
                                      "\"ready\"",
                                      "{\"state\":\"ready\xff\"}",
                                      std::string(100000, '{')};
  for (std::size_t length = 1; length < valid.size(); ++length) records.push_back(valid.substr(0, length));
  for (const char* field :
       {R"("state":null)", R"("state":1)", R"("message":["m"])", R"("transfer":false)",
        R"("bytes":"10")", R"("bytes":1.5)", R"("bytes":1e30)", R"("total":{})",
        R"("updatedAt":"today")", R"("updatedAt":null)",
        // Dates the clock cannot hold (it ends in the year 2262) must not wrap around.
        R"("updatedAt":8.5e9)", R"("updatedAt":-1.1e10)", R"("updatedAt":1e300)"}) {
    Json json = Json::parse(valid);
    json.update(Json::parse("{" + std::string(field) + "}"));
    records.push_back(json.dump());
  }
  std::mt19937 engine(7);
  std::string noise(2048, '\0');
  for (char& c : noise) c = static_cast<char>(engine());
  records.push_back(noise);
  return records;
}

TEST(BrokenStatus, EveryDamagedRecordLoadsAsTheFallback) {
  TempHome home;
  for (const auto& content : brokenRecords()) {
    writeText(AgentStatus::file(), content);
    Date before = SystemClock::now();
    expectFallback(AgentStatus::load(), before, content);
    EXPECT_FALSE(decodeAgentStatus(content)) << content.substr(0, 80);
  }
  fs::remove(AgentStatus::file());
  fs::create_symlink(home.root() / "gone.json", AgentStatus::file());
  Date before = SystemClock::now();
  expectFallback(AgentStatus::load(), before, "dangling link");
}

TEST(BrokenStatus, AFolderInPlaceOfTheFileIsSurvivedByWriterAndReaders) {
  TempHome home;
  fs::create_directories(AgentStatus::file());
  AgentStatus{"ready", "Ready to receive your company’s footage.", "", 0, 0, SystemClock::now()}
      .save();  // dropped, never thrown
  EXPECT_TRUE(fs::is_directory(AgentStatus::file()));
  Date before = SystemClock::now();
  expectFallback(AgentStatus::load(), before, "folder");
}

// The app, through the control service, meets the same fallback as a reader of the file.
TEST(BrokenStatus, TheControlServiceSendsTheFallbackForADamagedRecord) {
  TempHome home;
  TempDir bin;
  fs::path app = bin / "trellisant";
  fs::copy_file(TRELLISANT_STATUS_PROBE, app);
  AgentService service(Paths::controlSocket(), app);
  ASSERT_TRUE(service.listening());
  for (const std::string& content : {std::string("{\"state\":\"rea"), std::string("{}"),
                                    std::string(R"({"state":"ready","message":"m","transfer":"","bytes":0,"total":0,"updatedAt":9e9})")}) {
    writeText(AgentStatus::file(), content);
    Date before = SystemClock::now();
    std::string command = "'" + app.string() + "' '" + Paths::controlSocket().string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto reply = decodeAgentStatus(output);
    ASSERT_TRUE(reply) << output;
    expectFallback(*reply, before - std::chrono::seconds(1), content);
  }
}

struct MainsPower : PowerSource {
  bool onPower() override { return true; }
};
struct NoInhibitor : SleepInhibitor {
  bool acquire() override { return false; }
  void release() override {}
};
struct SilentNotifier : Notifier {
  void post(const std::string&, const std::string&, const std::string&) override {}
};

std::unique_ptr<Agent> quietAgent() {
  AgentParts parts;
  parts.power = std::make_shared<PowerPolicy>(std::make_shared<MainsPower>(),
                                              std::make_shared<NoInhibitor>());
  parts.notifier = std::make_shared<SilentNotifier>();
  parts.controlService = false;
  AgentTiming timing;
  timing.pause = std::chrono::milliseconds(1);
  timing.quickWait = std::chrono::milliseconds(1);
  return std::make_unique<Agent>(parts, timing);
}

TEST(BrokenCredentials, TheAgentsPassNeedsAttentionWithTheDecodingText) {
  TempHome home;
  Preferences preferences;
  preferences.server = "https://company.example";
  preferences.receiving = true;
  preferences.save(Preferences::file());
  fs::path credentials = Paths::support() / "credentials.json";
  auto agent = quietAgent();

  struct Case {
    std::string content;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"{\"accessToken\":\"a\",\"refre",
            "The data couldn’t be read because it isn’t in the correct format."},
           {R"({"accessToken":"a","refreshToken":"r","clientId":"c"})",
            "The data couldn’t be read because “expiresAt” is missing."},
           {R"({"accessToken":"a","refreshToken":"r","clientId":["c"],"expiresAt":1})",
            "The data couldn’t be read because “clientId” is not a string."}}) {
    writeText(credentials, c.content);
    agent->runPass({});
    AgentStatus status = AgentStatus::load();
    EXPECT_EQ(status.state, "needs_attention") << c.content;
    EXPECT_EQ(status.message, c.message);
    EXPECT_EQ(status.transfer, "");
    EXPECT_EQ(status.bytes, 0);
    EXPECT_EQ(status.total, 0);
  }

  // The same agent goes on once the item is usable again (here: a sign-in for another server).
  writeText(credentials,
            R"({"server":"https://other.example","accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":1e9})");
  agent->runPass({});
  EXPECT_EQ(AgentStatus::load().state, "setup");
  EXPECT_EQ(AgentStatus::load().message, "Sign in to Trellisant to receive footage.");
}

}  // namespace
}  // namespace trellisant
