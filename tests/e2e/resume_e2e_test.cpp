// Interrupted downloads resume from the journal: after a crash of the agent, and after a
// storage provider that misbehaved.

#include <gtest/gtest.h>

#include <algorithm>

#include "world_driver.h"

namespace trellisant::e2e {
namespace {

constexpr std::int64_t MiB = 1024 * 1024;

// The provider's range requests for one file, in order.
std::vector<Json> rangeRequests(World& world, const std::string& fileId) {
  return forFile(world.summary().at("providerRequests"), fileId);
}

std::int64_t start(const Json& request) {
  return request.at("start").is_number_integer() ? request.at("start").get<std::int64_t>() : -1;
}

std::int64_t journalOffset(World& world, const std::string& deliveryId, const std::string& fileId) {
  auto row = world.journal(deliveryId, fileId);
  return row ? row->first : -1;
}

TEST(World, CrashAndResume) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  // Two ranges: 64 MiB and 8 MiB.
  fs::path sources = world.makeSources("day3", {{"A001.mov", 72 * MiB}});
  Json delivery = world.send(sources, "Day 3");
  const std::string id = delivery.at("id"), fileId = World::fileId(delivery, "A001.mov");
  world.admin().fault({{"kind", "trickle"}, {"bytes", 16 * MiB}, {"fileId", fileId}});
  world.ctlOk({"enable"});

  // SIGKILL once two checkpoints are in, in the middle of the first range.
  ASSERT_TRUE(waitUntil([&] { return journalOffset(world, id, fileId) >= 16 * MiB; }, 60s, 20ms));
  ASSERT_EQ(world.agents().size(), 1u);
  world.killAgents();
  const std::int64_t checkpoint = journalOffset(world, id, fileId);
  ASSERT_LT(checkpoint, 64 * MiB);
  fs::path folder = world.destination(root, delivery);
  EXPECT_GE(World::partialSize(folder, fileId).value_or(-1), checkpoint);
  const std::size_t before = rangeRequests(world, fileId).size();

  // The user enables receiving again; the login item starts the agent anew.
  world.admin().clearFaults();
  world.ctlOk({"enable"});
  EXPECT_EQ(world.agents().size(), 1u);
  world.waitForState("completed", 120s);
  EXPECT_TRUE(sameBytes(sources / "A001.mov", folder / "A001.mov"));

  // No byte before the last checkpoint was asked for again.
  auto requests = rangeRequests(world, fileId);
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(requests[before].at("range"),
            "bytes=" + std::to_string(checkpoint) + "-" +
                std::to_string(std::min(checkpoint + 64 * MiB, 72 * MiB) - 1));
  for (std::size_t i = before; i < requests.size(); ++i)
    EXPECT_GE(start(requests[i]), checkpoint) << requests[i].dump();

  auto completions = forFile(world.summary().at("fileCompletions"), fileId);
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].at("matches"), true);
}

TEST(World, ProviderFaultsEndInTheirMessagesAndResume) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  fs::path sources = world.makeSources("day4", {{"A001.mov", 24 * MiB}});
  Json delivery = world.send(sources, "Day 4");
  const std::string id = delivery.at("id"), fileId = World::fileId(delivery, "A001.mov");
  fs::path folder = world.destination(root, delivery);

  // A provider that closes the connection in the middle of the range.
  world.admin().fault({{"kind", "close-after"}, {"bytes", 12 * MiB}, {"fileId", fileId}});
  world.ctlOk({"enable"});
  world.waitForState("needs_attention", 60s, "The download ended early. Trellisant will resume it.");
  const std::int64_t saved = journalOffset(world, id, fileId);
  EXPECT_GE(saved, 8 * MiB);
  EXPECT_LE(saved, 12 * MiB);

  // One that answers 200 with the whole file instead of 206 with the range.
  world.admin().clearFaults();
  world.admin().fault({{"kind", "whole-file"}, {"fileId", fileId}});
  world.waitForState("needs_attention", 60s,
                     "The provider did not return the requested file range. Saved footage was preserved.");
  EXPECT_EQ(journalOffset(world, id, fileId), saved);
  EXPECT_EQ(World::partialSize(folder, fileId), saved);

  world.admin().clearFaults();
  world.waitForState("completed", 90s);
  EXPECT_TRUE(sameBytes(sources / "A001.mov", folder / "A001.mov"));

  // Every attempt after the first started at the journal's offset.
  auto requests = rangeRequests(world, fileId);
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(start(requests[0]), 0);
  for (std::size_t i = 1; i < requests.size(); ++i)
    EXPECT_EQ(start(requests[i]), saved) << requests[i].dump();

  // The server heard both reasons while the delivery waited.
  std::vector<std::string> reasons;
  for (const auto& report : forDelivery(world.summary().at("progress"), id)) {
    if (report.at("state") == "waiting") reasons.push_back(report.at("reason"));
  }
  ASSERT_GE(reasons.size(), 2u);
  EXPECT_EQ(reasons[0], "The download ended early. Trellisant will resume it.");
  EXPECT_EQ(reasons[1], "The provider did not return the requested file range. Saved footage was preserved.");
}

}  // namespace
}  // namespace trellisant::e2e
