// A delivery received by the real agent, started through `trellisantctl enable`.

#include <gtest/gtest.h>

#include <algorithm>

#include "fileio.h"
#include "text.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

std::int64_t seq(const Json& entry) {
  return entry.at("seq").get<std::int64_t>();
}

// Whether some lease of the delivery falls strictly between two points of the request order.
bool leaseBetween(const std::vector<Json>& leases, std::int64_t after, std::int64_t before) {
  return std::any_of(leases.begin(), leases.end(),
                     [&](const Json& lease) { return seq(lease) > after && seq(lease) < before; });
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

  bool sawDownloading = false;
  AgentStatus done = world.waitForStatus(
      [&](const AgentStatus& status) {
        sawDownloading = sawDownloading || status.state == "downloading";
        return status.state == "completed";
      },
      120s, "the delivery to complete");
  EXPECT_TRUE(sawDownloading);
  const std::int64_t total = std::stoll(delivery.at("totalBytes").get<std::string>());
  EXPECT_EQ(done.transfer, "Day 1");
  EXPECT_EQ(done.bytes, total);
  EXPECT_EQ(done.total, total);

  fs::path received = world.destination(root, delivery);
  for (const auto& file : delivery.at("files")) {
    std::string path = file.at("relativePath");
    EXPECT_TRUE(sameBytes(sources / path, received / path)) << path;
  }
  for (const auto& entry : fs::recursive_directory_iterator(root))
    EXPECT_NE(entry.path().filename().string().rfind(".trellisant-", 0), 0u) << entry.path();

  Json summary = world.summary();
  auto leases = forDelivery(summary.at("leases"), id);
  auto manifests = forDelivery(summary.at("manifests"), id);
  auto capabilities = forDelivery(summary.at("capabilities"), id);
  auto completions = forDelivery(summary.at("fileCompletions"), id);
  ASSERT_FALSE(leases.empty());
  ASSERT_FALSE(manifests.empty());
  EXPECT_LT(seq(leases.front()), seq(manifests.front())) << "a lease before the file list";

  // Batches of two in manifest order, each after a lease of its own.
  const Json& files = delivery.at("files");
  std::int64_t previousEnd = seq(manifests.back());
  for (std::size_t first = 0; first < files.size(); first += 2) {
    std::int64_t firstCapability = INT64_MAX, lastCompletion = 0;
    for (std::size_t i = first; i < std::min(files.size(), first + 2); ++i) {
      std::string fileId = files[i].at("id");
      for (const auto& capability : forFile(capabilities, fileId))
        firstCapability = std::min(firstCapability, seq(capability));
      for (const auto& completion : forFile(completions, fileId))
        lastCompletion = std::max(lastCompletion, seq(completion));
    }
    EXPECT_TRUE(leaseBetween(leases, previousEnd, firstCapability)) << "no lease before batch " << first / 2;
    previousEnd = lastCompletion;
  }

  bool downloadingReport = false;
  for (const auto& report : forDelivery(summary.at("progress"), id)) {
    if (report.at("state") != "downloading") continue;
    downloadingReport = true;
    ASSERT_TRUE(report.at("bytesDone").is_string()) << report.dump();
    auto bytes = parseInt64(report.at("bytesDone").get<std::string>());
    ASSERT_TRUE(bytes);
    EXPECT_LE(*bytes, total);
  }
  EXPECT_TRUE(downloadingReport);

  for (const auto& file : files) {
    std::string fileId = file.at("id");
    auto reported = forFile(completions, fileId);
    ASSERT_EQ(reported.size(), 1u) << file.at("relativePath");
    EXPECT_EQ(reported[0].at("sha256"), testing::sha256Of(sources / file.at("relativePath").get<std::string>()));
    EXPECT_EQ(reported[0].at("matches"), true);
  }
}

}  // namespace
}  // namespace trellisant::e2e
