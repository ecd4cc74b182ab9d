// A delivery received by the real agent, started through `trellisantctl enable`.

#include <gtest/gtest.h>

#include "text.h"
#include "history/received_history.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

std::int64_t seq(const Json& entry) {
  return entry.at("seq").get<std::int64_t>();
}

TEST(World, MultiFileDelivery) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  fs::path sources = world.makeSources(
      "day1", {{"A001.mov", 3 * MiB}, {"A002.mov", 2 * MiB}, {"A003.mov", 3 * MiB / 2},
               {"notes.txt", 20'000}, {"sound/A001.wav", MiB}});
  Json delivery = world.send(sources, "Day 1");
  const std::string id = delivery.at("id");
  // The first file arrives slowly, so that its batch lives through a tick of the agent.
  world.admin().fault({{"kind", "trickle"}, {"bytes", 400'000}, {"fileId", World::fileId(delivery, "A001.mov")}});
  world.ctlOk({"enable"});

  AgentStatus done = world.waitForState("completed", 120s);
  const std::int64_t total = std::stoll(delivery.at("totalBytes").get<std::string>());
  EXPECT_EQ(std::tuple(done.transfer, done.bytes, done.total), std::tuple("Day 1", total, total));
  EXPECT_EQ(compareTrees(sources, World::destination(root, delivery)), 0);

  Json summary = world.summary();
  auto leases = forDelivery(summary.at("leases"), id), manifests = forDelivery(summary.at("manifests"), id);
  auto capabilities = forDelivery(summary.at("capabilities"), id);
  auto completions = forDelivery(summary.at("fileCompletions"), id);
  ASSERT_FALSE(leases.empty() || manifests.empty());
  EXPECT_LT(seq(leases.front()), seq(manifests.front())) << "a lease before the file list";

  // Batches of two in manifest order, each after a lease of its own.
  const Json& files = delivery.at("files");
  std::int64_t previousEnd = seq(manifests.back());
  const std::size_t last = files.size() - 1;
  for (std::size_t first = 0; first < files.size(); first += 2) {
    auto at = [&](const Json& list, auto i) { return seq(forFile(list, files[std::min(i, last)].at("id")).at(0)); };
    const std::int64_t start = std::min(at(capabilities, first), at(capabilities, first + 1));
    auto between = [&](const Json& lease) { return seq(lease) > previousEnd && seq(lease) < start; };
    EXPECT_TRUE(std::any_of(leases.begin(), leases.end(), between)) << "no lease before batch " << first / 2;
    previousEnd = std::max(at(completions, first), at(completions, first + 1));
  }

  auto downloading = entriesWith(forDelivery(summary.at("progress"), id), "state", "downloading");
  EXPECT_FALSE(downloading.empty());
  for (const auto& report : downloading)
    EXPECT_LE(parseInt64(report.at("bytesDone").get<std::string>()).value_or(total + 1), total) << report;

  for (const auto& file : files) {
    auto reported = forFile(completions, file.at("id"));
    ASSERT_EQ(reported.size(), 1u) << file;
    EXPECT_EQ(reported[0].at("sha256"), testing::sha256Of(sources / file.at("relativePath").get<std::string>()));
    EXPECT_EQ(reported[0].at("matches"), true);
  }
}

}  // namespace
}  // namespace trellisant::e2e

namespace trellisant::e2e {
namespace {

bool showing(const std::string& transfer, AgentState state) {
  AgentStatus status = AgentStatus::load();
  return status.transfer == transfer && status.is(state);
}

// Two deliveries, the first paced by the storage provider and listed again once complete: a
// status learns the pace, the history holds each delivery once, with its first completion, and
// a history that cannot be written fails no delivery.
TEST(World, HistoryAndSpeed) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  constexpr std::int64_t pace = 4 * MiB;
  Json first = world.send(world.makeSources("day1", {{"A001.mov", 112 * MiB}}), "Day 1");
  world.admin().fault({{"kind", "trickle"}, {"bytes", pace}});
  world.ctlOk({"enable"});
  world.waitForState("downloading", 60s);
  Json status = Json::parse(world.ctlOk({"status", "--json"}));
  ASSERT_EQ(status.at("state"), "downloading") << status;
  EXPECT_NEAR(status.at("bytesPerSecond").get<double>(), pace, 0.25 * double(pace)) << status;
  EXPECT_GT(status.at("secondsLeft").get<double>(), 0) << status;
  const Date firstDone = world.waitForState("completed", 120s).updatedAt;
  world.admin().clearFaults();

  Json listed = first;
  listed.erase("files");
  listed.update({{"fileCount", 1}, {"state", "ready"}});
  world.waitForState("ready", 60s);
  world.admin().inject({{"method", "GET"}, {"path", "/api/v1/native/deliveries"}, {"status", 200},
                        {"body", Json{{"deliveries", {listed}}}.dump()}, {"times", 1}});
  world.admin().signalEvent();
  const Date againDone = world.waitForState("completed", 60s).updatedAt;
  Json second = world.send(world.makeSources("day2", {{"B001.mov", MiB}, {"notes.txt", 100}}), "Day 2");
  ASSERT_TRUE(waitUntil([] { return showing("Day 2", AgentState::completed); }, 60s));

  Json history = Json::parse(world.ctlOk({"history", "--json"}));
  ASSERT_EQ(history.size(), 2u) << history;
  for (auto [record, sent] : {std::pair{history[0], second}, std::pair{history[1], first}}) {
    const Json& files = sent.at("files");
    EXPECT_EQ(record, Json({{"id", sent.at("id")}, {"name", sent.at("name")}, {"company", "Acme"},
                            {"project", "Feature"}, {"folder", World::destination(root, sent).string()},
                            {"files", files.size()}, {"bytes", std::stoll(sent.at("totalBytes").get<std::string>())},
                            {"verifiedFiles", files.size()}, {"firstByteAt", record.at("firstByteAt")},
                            {"completedAt", record.at("completedAt")}, {"receipt", "written"}}));
    EXPECT_LE(record.at("firstByteAt").get<double>(), record.at("completedAt").get<double>());
  }
  EXPECT_LE(history[1].at("completedAt").get<double>(), secondsSince2001(firstDone));
  EXPECT_LT(history[1].at("completedAt").get<double>(), secondsSince2001(againDone)) << "the first record stays";

  const fs::path file = Paths::receivedHistoryFile();
  fs::rename(file, file.string() + ".kept");
  fs::create_directory(file);
  world.send(world.makeSources("day3", {{"C001.mov", MiB}}), "Day 3");
  EXPECT_TRUE(waitUntil([] { return showing("Day 3", AgentState::completed); }, 60s));
}

}  // namespace
}  // namespace trellisant::e2e
