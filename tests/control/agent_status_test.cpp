// status.json as the agent writes it and as every reader meets it, damaged included.
#include "control/agent_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "fileio.h"
#include "test_support.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

const AgentStatus kDownloading{"downloading", "Downloading original footage", "Day 3 – Cam A", 12'345'678'901,
                               98'765'432'109, dateFromReference(760'000'000)};

TEST(AgentStatusTest, EveryDamagedRecordLoadsAsTheFallback) {
  testing::TempHome home;
  kDownloading.save();
  const std::string valid = testing::readText(AgentStatus::file());
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
  std::mt19937 engine(7);
  records.emplace_back(2048, '\0');
  for (char& c : records.back()) c = static_cast<char>(engine());
  records.push_back("no file");
  records.push_back("dangling link");
  const Date before = SystemClock::now();
  for (const auto& content : records) {
    if (content == "no file") fs::remove(AgentStatus::file());
    else if (content == "dangling link") fs::create_symlink(home.root() / "gone.json", AgentStatus::file());
    else testing::writeText(AgentStatus::file(), content);
    EXPECT_FALSE(decodeAgentStatus(content)) << content.substr(0, 80);
    AgentStatus status = AgentStatus::load();
    EXPECT_EQ(status, AgentStatus::fallback(status.updatedAt)) << content.substr(0, 80);
    EXPECT_TRUE(status.updatedAt >= before && status.updatedAt <= SystemClock::now()) << content.substr(0, 80);
  }
}

TEST(AgentStatusTest, ReadersNeverSeeAPartialFile) {
  testing::TempHome home;
  AgentStatus large = kDownloading;
  large.message = std::string(200'000, 'm');  // spans many writes and pages
  kDownloading.save();
  std::atomic<bool> done = false;
  std::atomic<int> reads = 0, torn = 0;
  std::thread reader([&] {
    for (; !done; ++reads) {
      auto bytes = readFile(AgentStatus::file());
      auto status = bytes ? decodeAgentStatus(*bytes) : std::nullopt;
      torn += !status || (*status != kDownloading && *status != large);
    }
  });
  for (int i = 0; i < 60; ++i) (i % 2 ? kDownloading : large).save();
  while (reads < 50) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

}  // namespace
}  // namespace trellisant
