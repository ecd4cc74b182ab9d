// A delivery received by the real agent, started through `trellisantctl enable`.

#include <gtest/gtest.h>

#include "text.h"
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
