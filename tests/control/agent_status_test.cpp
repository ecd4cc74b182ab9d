// status.json as the agent writes it and as every reader meets it, damaged included; and a
// damaged credentials item reaching the user through the agent's status.
#include "control/agent_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "agent.h"
#include "fileio.h"
#include "settings/paths.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using testing::readText;
using testing::TempHome;
using testing::writeText;

const AgentStatus kDownloading{"downloading", "Downloading original footage", "Day 3 – Cam A",
                               12'345'678'901, 98'765'432'109, dateFromReference(760'000'000)};

// The fallback record, made between `before` and now.
void expectFallback(const AgentStatus& status, Date before, const std::string& content) {
  EXPECT_EQ(status, AgentStatus::fallback(status.updatedAt)) << content.substr(0, 80);
  EXPECT_GE(status.updatedAt, before) << content.substr(0, 80);
  EXPECT_LE(status.updatedAt, SystemClock::now());
}

TEST(AgentStatus, SavesCompactJsonWithExactlySixKeysAndLoadsItBack) {
  TempHome home;
  kDownloading.save();
  EXPECT_EQ(AgentStatus::file(), home.support() / "status.json");
  std::string text = readText(AgentStatus::file());
  EXPECT_TRUE(text.find('\n') == std::string::npos && text.find(": ") == std::string::npos) << text;
  Json json = Json::parse(text);
  std::set<std::string> keys;
  for (auto& [key, value] : json.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"state", "message", "transfer", "bytes", "total", "updatedAt"}));
  EXPECT_TRUE(json["bytes"].is_number_integer());
  EXPECT_EQ(AgentStatus::load(), kDownloading);

  // Extra keys are ignored; a state this build does not know (a newer agent's) stays as written.
  auto newer = decodeAgentStatus(R"({"state":"verifying","message":"m","transfer":"","bytes":0,"total":0,)"
                                 R"("updatedAt":700000000.25,"extra":{"nested":[1,2]}})");
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->toJson().at("state"), "verifying");
  EXPECT_FALSE(newer->is(AgentState::ready));
}

TEST(AgentStatus, EveryDamagedRecordLoadsAsTheFallback) {
  TempHome home;
  const std::string valid = kDownloading.toJson().dump();
  std::vector<std::string> records = {"", "null", "[]", "{}", "\"ready\"", "not json", "{\"state\":\"ready\xff\"}",
                                      std::string(100000, '{')};
  for (std::size_t length = 1; length < valid.size(); ++length) records.push_back(valid.substr(0, length));
  for (const char* field :
       {R"("state":null)", R"("message":["m"])", R"("transfer":null)", R"("bytes":"10")", R"("bytes":1.5)",
        R"("total":9223372036854775808)", R"("total":{})", R"("updatedAt":"today")",
        // Dates the clock cannot hold (it ends in 2262) must not wrap around.
        R"("updatedAt":8.5e9)", R"("updatedAt":-1.1e10)", R"("updatedAt":1e300)"}) {
    Json json = Json::parse(valid);
    json.update(Json::parse("{" + std::string(field) + "}"));
    records.push_back(json.dump());
  }
  Json missing = Json::parse(valid);
  missing.erase("updatedAt");
  missing["updated_at"] = 1;
  records.push_back(missing.dump());
  std::mt19937 engine(7);
  std::string noise(2048, '\0');
  for (char& c : noise) c = static_cast<char>(engine());
  records.push_back(noise);

  for (const auto& content : records) {
    writeText(AgentStatus::file(), content);
    Date before = SystemClock::now();
    expectFallback(AgentStatus::load(), before, content);
    EXPECT_FALSE(decodeAgentStatus(content)) << content.substr(0, 80);
  }
  fs::remove(AgentStatus::file());
  Date before = SystemClock::now();
  expectFallback(AgentStatus::load(), before, "no file");
  fs::create_symlink(home.root() / "gone.json", AgentStatus::file());
  expectFallback(AgentStatus::load(), before, "dangling link");
}

TEST(AgentStatus, SavingNeverFailsAndReadersNeverSeeAPartialFile) {
  TempHome home;
  // A folder where the file belongs: the write is dropped, nothing is left behind.
  fs::create_directories(AgentStatus::file());
  EXPECT_NO_THROW(kDownloading.save());
  EXPECT_TRUE(fs::is_directory(AgentStatus::file()));
  EXPECT_EQ(std::distance(fs::directory_iterator(home.support()), fs::directory_iterator()), 1);
  Date before = SystemClock::now();
  expectFallback(AgentStatus::load(), before, "folder");
  fs::remove(AgentStatus::file());

  AgentStatus large = kDownloading;
  large.message = std::string(200'000, 'm');  // spans many writes and pages
  kDownloading.save();
  std::atomic<bool> done = false;
  std::atomic<int> reads = 0, torn = 0;
  std::thread reader([&] {
    while (!done) {
      auto bytes = readFile(AgentStatus::file());
      auto status = bytes ? decodeAgentStatus(*bytes) : std::nullopt;
      if (!status || (*status != kDownloading && *status != large)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 60; ++i) (i % 2 ? kDownloading : large).save();
  while (reads < 50) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

TEST(BrokenCredentials, TheAgentsPassNeedsAttentionWithTheDecodingText) {
  TempHome home;
  Preferences preferences;
  preferences.server = "https://company.example";
  preferences.receiving = true;
  preferences.save(Preferences::file());
  fs::path credentials = Paths::support() / "credentials.json";
  AgentParts parts;
  parts.controlService = false;
  AgentTiming timing;
  timing.pause = timing.quickWait = std::chrono::milliseconds(1);
  Agent agent(parts, timing);

  for (auto [content, message] : std::vector<std::pair<std::string, std::string>>{
           {"{\"accessToken\":\"a\",\"refre", "The data couldn’t be read because it isn’t in the correct format."},
           {R"({"accessToken":"a","refreshToken":"r","clientId":"c"})",
            "The data couldn’t be read because “expiresAt” is missing."},
           {R"({"accessToken":"a","refreshToken":"r","clientId":["c"],"expiresAt":1})",
            "The data couldn’t be read because “clientId” is not a string."}}) {
    writeText(credentials, content);
    agent.runPass({});
    AgentStatus status = AgentStatus::load();
    EXPECT_EQ(status, (AgentStatus{"needs_attention", message, "", 0, 0, status.updatedAt})) << content;
  }
  // The same agent goes on once the item is usable again (here: a sign-in for another server).
  writeText(credentials,
            R"({"server":"https://other.example","accessToken":"a","refreshToken":"r","clientId":"c","expiresAt":1e9})");
  agent.runPass({});
  EXPECT_EQ(AgentStatus::load().state, "setup");
}

}  // namespace
}  // namespace trellisant
