// A delivery received by the real agent, started through `trellisantctl enable`.

#include <gtest/gtest.h>

#include <algorithm>

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
  EXPECT_EQ(done.transfer, "Day 1");
  EXPECT_EQ(done.bytes, total);
  EXPECT_EQ(done.total, total);
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
  for (std::size_t first = 0; first < files.size(); first += 2) {
    std::int64_t firstCapability = INT64_MAX, lastCompletion = 0;
    for (std::size_t i = first; i < std::min(files.size(), first + 2); ++i) {
      for (const auto& capability : forFile(capabilities, files[i].at("id")))
        firstCapability = std::min(firstCapability, seq(capability));
      for (const auto& completion : forFile(completions, files[i].at("id")))
        lastCompletion = std::max(lastCompletion, seq(completion));
    }
    EXPECT_TRUE(std::any_of(leases.begin(), leases.end(),
                            [&](const Json& lease) { return seq(lease) > previousEnd && seq(lease) < firstCapability; }))
        << "no lease before batch " << first / 2;
    previousEnd = lastCompletion;
  }

  int downloadingReports = 0;
  for (const auto& report : forDelivery(summary.at("progress"), id)) {
    if (report.at("state") != "downloading") continue;
    ++downloadingReports;
    auto bytes = parseInt64(report.at("bytesDone").is_string() ? report.at("bytesDone").get<std::string>() : "");
    EXPECT_TRUE(bytes && *bytes <= total) << report;
  }
  EXPECT_GT(downloadingReports, 0);

  for (const auto& file : files) {
    auto reported = forFile(completions, file.at("id"));
    ASSERT_EQ(reported.size(), 1u) << file;
    EXPECT_EQ(reported[0].at("sha256"), testing::sha256Of(sources / file.at("relativePath").get<std::string>()));
    EXPECT_EQ(reported[0].at("matches"), true);
  }
}

}  // namespace
}  // namespace trellisant::e2e
