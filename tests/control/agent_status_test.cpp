#include "control/agent_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "fileio.h"
#include "test_support.h"

namespace trellisant {
namespace {

using testing::TempHome;
using testing::readText;
using testing::writeText;

// Whole seconds survive the double round trip exactly.
Date at(double referenceSecondsValue) { return dateFromReference(referenceSecondsValue); }

AgentStatus downloading() {
  return AgentStatus{"downloading", "Downloading original footage", "Day 3 – Cam A", 12'345'678'901,
                     98'765'432'109, at(760'000'000)};
}

// Loads status.json and expects the fallback record made during the load.
void expectFallbackOnLoad() {
  Date before = SystemClock::now();
  AgentStatus status = AgentStatus::load();
  Date after = SystemClock::now();
  EXPECT_EQ(status.state, "setup");
  EXPECT_EQ(status.message, "Enable receiving to get started.");
  EXPECT_EQ(status.transfer, "");
  EXPECT_EQ(status.bytes, 0);
  EXPECT_EQ(status.total, 0);
  EXPECT_GE(status.updatedAt, before);
  EXPECT_LE(status.updatedAt, after);
}

TEST(AgentStatus, SavesCompactJsonWithExactlySixKeysAndLoadsItBack) {
  TempHome home;
  AgentStatus status = downloading();
  status.save();

  EXPECT_EQ(AgentStatus::file(), home.support() / "status.json");
  std::string text = readText(AgentStatus::file());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find(": "), std::string::npos);
  Json json = Json::parse(text);
  std::set<std::string> keys;
  for (auto& [key, value] : json.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"state", "message", "transfer", "bytes", "total",
                                         "updatedAt"}));
  EXPECT_TRUE(json["bytes"].is_number_integer());
  EXPECT_DOUBLE_EQ(json["updatedAt"].get<double>(), 760'000'000);

  EXPECT_EQ(AgentStatus::load(), status);
}

TEST(AgentStatus, DecodingTakesAllSixKeysUnderTheirOwnNamesAndIgnoresOthers) {
  const std::string complete =
      R"({"state":"ready","message":"Ready to receive your company’s footage.","transfer":"",)"
      R"("bytes":0,"total":0,"updatedAt":700000000.25,"extra":{"nested":[1,2]}})";
  auto status = decodeAgentStatus(complete);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->state, "ready");
  EXPECT_EQ(status->message, "Ready to receive your company’s footage.");
  EXPECT_NEAR(referenceSeconds(status->updatedAt), 700000000.25, 1e-6);

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = complete;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  // Each of these must not decode, so that load falls back instead of inventing values.
  for (const std::string& broken :
       {replaced(R"("updatedAt":700000000.25,)", ""),              // missing date
        replaced(R"("updatedAt")", R"("updated_at")"),             // not our key
        replaced(R"("bytes":0)", R"("bytes":"0")"),                // wrong type
        replaced(R"("bytes":0)", R"("bytes":0.5)"),                // not an integer
        replaced(R"("transfer":"")", R"("transfer":null)"),         // null is not a string
        replaced(R"("total":0)", R"("total":9223372036854775808)"),  // beyond 64 bits
        replaced("700000000.25", "1e300"),                         // beyond any clock
        std::string("[]"), std::string("not json"), std::string("")}) {
    EXPECT_FALSE(decodeAgentStatus(broken)) << broken;
  }

  // A state this build does not know (a newer agent's) loads and saves as written.
  EXPECT_TRUE(status->is(AgentState::ready));
  auto newer = decodeAgentStatus(replaced(R"("state":"ready")", R"("state":"verifying")"));
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->toJson().at("state"), "verifying");
  EXPECT_FALSE(newer->is(AgentState::ready));
}

TEST(AgentStatus, LoadFallsBackWhenNothingUsableIsThere) {
  TempHome home;
  expectFallbackOnLoad();

  downloading().save();
  std::string text = readText(AgentStatus::file());
  Json json = Json::parse(text);
  json.erase("updatedAt");
  writeText(AgentStatus::file(), json.dump());
  expectFallbackOnLoad();

  writeText(AgentStatus::file(), text.substr(0, text.size() / 2));
  expectFallbackOnLoad();
}

TEST(AgentStatus, SaveSwallowsFailuresAndLeavesNoTemporaryFile) {
  TempHome home;
  // A folder where the file belongs: the replacing rename fails.
  std::filesystem::create_directories(AgentStatus::file());
  EXPECT_NO_THROW(downloading().save());
  EXPECT_TRUE(std::filesystem::is_directory(AgentStatus::file()));
  std::size_t entries = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(home.support())) ++entries;
  EXPECT_EQ(entries, 1u);
  expectFallbackOnLoad();
}

TEST(AgentStatus, LongMessagesAreStoredUntouched) {
  TempHome home;
  AgentStatus status = downloading();
  status.state = "needs_attention";
  status.message.clear();
  for (int i = 0; i < 100; ++i) status.message += "é✓x";  // 300 characters, 600 bytes
  status.save();
  EXPECT_EQ(AgentStatus::load().message, status.message);
}

TEST(AgentStatus, ReadersNeverSeeAPartialFile) {
  TempHome home;
  AgentStatus small = downloading();
  AgentStatus large = downloading();
  large.message = std::string(200'000, 'm');  // spans many writes and pages
  small.save();

  std::atomic<bool> done = false;
  std::atomic<int> reads = 0, torn = 0;
  std::thread reader([&] {
    while (!done) {
      auto bytes = readFile(AgentStatus::file());
      auto status = bytes ? decodeAgentStatus(*bytes) : std::nullopt;
      if (!status || (*status != small && *status != large)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 60; ++i) (i % 2 ? small : large).save();
  while (reads < 50) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

}  // namespace
}  // namespace trellisant
