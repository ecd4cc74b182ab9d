// The user pauses, enables and signs out while a delivery downloads; a second agent is
// started beside the first.

#include <gtest/gtest.h>

#include <thread>

#include "control/status_client.h"
#include "settings/vault.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

// One 24 MiB file served at 2 MiB/s, downloading with its first checkpoint in the journal.
struct SlowDelivery {
  explicit SlowDelivery(World& world) : world(world) {
    world.signIn();
    Json delivery = world.send(sources, "Slow");
    id = delivery.at("id");
    fileId = World::fileId(delivery, "A001.mov");
    folder = World::destination(world.chooseFolder(), delivery);
    world.admin().fault({{"kind", "trickle"}, {"bytes", 2 * MiB}, {"fileId", fileId}});
    world.ctlOk({"enable"});
    world.waitForState("downloading", 30s);
    if (!waitUntil([&] { return World::offset(id, fileId) >= 8 * MiB; }, 30s))
      throw std::runtime_error("no checkpoint within 30 s");
    agents = world.agents();
  }

  // `resume` lets the stopped delivery go on at full speed: it completes, and its first request
  // afterwards starts at the journal's offset.
  void expectResumes(const std::function<void()>& resume) {
    const std::int64_t offset = World::offset(id, fileId);
    const std::size_t before = forFile(world.summary().at("providerRequests"), fileId).size();
    world.admin().clearFaults();
    resume();
    world.waitForState("completed", 60s);
    EXPECT_TRUE(sameBytes(sources / "A001.mov", folder / "A001.mov"));
    auto requests = forFile(world.summary().at("providerRequests"), fileId);
    ASSERT_GT(requests.size(), before);
    EXPECT_EQ(requests[before].at("start"), offset);
  }

  World& world;
  fs::path sources = world.makeSources("slow", {{"A001.mov", 24 * MiB}});
  std::string id, fileId;
  fs::path folder;
  std::vector<pid_t> agents;
};

TEST(World, PauseAndEnable) {
  World world;
  SlowDelivery slow(world);
  auto paused = std::chrono::steady_clock::now();
  EXPECT_EQ(world.ctlOk({"pause"}), "Receiving is paused.\n");
  AgentStatus stopped = world.waitForState("needs_attention", 15s);
  EXPECT_LE(std::chrono::steady_clock::now() - paused, 8s) << "stops within one 5-second tick";
  EXPECT_EQ(stopped.message, "Receiving paused. Your downloaded footage is saved.");
  // Nothing more arrives.
  auto size = World::partialSize(slow.folder, slow.fileId);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(World::partialSize(slow.folder, slow.fileId), size);
  world.waitForState("paused", 20s, {"Receiving is paused."});
  EXPECT_NE(world.ctlOk({"status"}).find("state: paused\n"), std::string::npos);

  slow.expectResumes([&] {
    EXPECT_EQ(world.ctlOk({"enable"}), "Receiving is on.\n");
    EXPECT_EQ(world.agents(), slow.agents) << "the running agent goes on; no second one";
  });
}

TEST(World, SignOutMidDownload) {
  World world;
  SlowDelivery slow(world);
  // The stored sign-in disappears under the running agent, as signing out removes it.
  // (trellisantctl sign-out also turns receiving off and stops the agent first; see below.)
  Vault::clear();
  world.waitForState("needs_attention", 15s, {"Sign in to Trellisant first."});
  world.waitForState("setup", 20s, {"Sign in to Trellisant to receive footage."});
  EXPECT_EQ(world.agents(), slow.agents);
  // Signing in again: the delivery waits out its back-off and resumes from the journal.
  slow.expectResumes([&] { world.signIn(); });

  // The command's own sign-out stops the agent, revokes this device and forgets the sign-in.
  auto credentials = Vault::read();
  ASSERT_TRUE(credentials && credentials->deviceId);
  EXPECT_EQ(world.ctlOk({"sign-out"}), "Signed out.\n");
  EXPECT_TRUE(world.agents().empty());
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(entriesWith(world.summary().at("devices"), "id", *credentials->deviceId).at(0).at("revoked"), true);
  EXPECT_NE(world.ctlOk({"status"}).find("state: paused\n"), std::string::npos);
}

TEST(World, OneAgentPerUser) {
  World world;
  // This driver stands in for the app, the one program the control service answers.
  fs::copy_file("/proc/self/exe", world.folder() / "bin" / "trellisant");
  SlowDelivery slow(world);

  // A second agent of the same user, as a manual start beside the login item would be.
  auto [status, output] = run({world.agentProgram().string()}, world.folder() / "logs", 10s);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_EQ(world.agents(), slow.agents);
  EXPECT_TRUE(requestAgentStatus()) << "the first agent's socket is gone or does not answer";

  world.admin().clearFaults();
  world.waitForState("completed", 60s);
  EXPECT_TRUE(sameBytes(slow.sources / "A001.mov", slow.folder / "A001.mov"));
  auto ranges = forFile(world.summary().at("providerRequests"), slow.fileId);
  ASSERT_EQ(ranges.size(), 1u) << "a range was fetched twice";
  EXPECT_EQ(ranges[0].at("range"), "bytes=0-" + std::to_string(24 * MiB - 1));
}

}  // namespace
}  // namespace trellisant::e2e
