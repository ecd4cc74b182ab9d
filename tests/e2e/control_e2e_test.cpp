// The user pauses, enables and signs out while a delivery downloads; a second agent is
// started beside the first.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "control/status_client.h"
#include "settings/paths.h"
#include "settings/vault.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

struct SlowDelivery {
  fs::path sources;
  Json delivery;
  std::string id;
  std::string fileId;
  fs::path folder;
};

// One 24 MiB file, served at 2 MiB/s, downloading with its first checkpoint in the journal.
SlowDelivery startSlowDelivery(World& world, const std::string& name) {
  fs::path root = world.chooseFolder();
  SlowDelivery slow;
  slow.sources = world.makeSources(name, {{"A001.mov", 24 * MiB}});
  slow.delivery = world.send(slow.sources, name);
  slow.id = slow.delivery.at("id");
  slow.fileId = World::fileId(slow.delivery, "A001.mov");
  slow.folder = world.destination(root, slow.delivery);
  world.admin().fault({{"kind", "trickle"}, {"bytes", 2 * MiB}, {"fileId", slow.fileId}});
  world.ctlOk({"enable"});
  world.waitForState("downloading", 30s);
  if (!waitUntil([&] { return world.offset(slow.id, slow.fileId) >= 8 * MiB; }, 30s))
    throw std::runtime_error("no checkpoint within 30 s");
  return slow;
}

// `resume` lets the stopped delivery go on at full speed: it completes, and its first request
// afterwards starts at the journal's offset.
void expectResumes(World& world, const SlowDelivery& slow, const std::function<void()>& resume) {
  const std::int64_t offset = world.offset(slow.id, slow.fileId);
  const std::size_t before = forFile(world.summary().at("providerRequests"), slow.fileId).size();
  world.admin().clearFaults();
  resume();
  world.waitForState("completed", 60s);
  EXPECT_TRUE(sameBytes(slow.sources / "A001.mov", slow.folder / "A001.mov"));
  auto requests = forFile(world.summary().at("providerRequests"), slow.fileId);
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(requests[before].at("start"), offset);
}

TEST(World, PauseAndEnable) {
  World world;
  world.signIn();
  SlowDelivery slow = startSlowDelivery(world, "Day 5");
  auto agents = world.agents();
  ASSERT_EQ(agents.size(), 1u);

  auto paused = std::chrono::steady_clock::now();
  EXPECT_EQ(world.ctlOk({"pause"}), "Receiving is paused.\n");
  AgentStatus stopped = world.waitForState("needs_attention", 15s);
  EXPECT_LE(std::chrono::steady_clock::now() - paused, 8s) << "stops within one 5-second tick";
  EXPECT_EQ(stopped.message, "Receiving paused. Your downloaded footage is saved.");
  // Nothing more arrives.
  auto size = World::partialSize(slow.folder, slow.fileId);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(World::partialSize(slow.folder, slow.fileId), size);

  world.waitForState("paused", 20s, "Receiving is paused.");
  EXPECT_NE(world.ctlOk({"status"}).find("state: paused\n"), std::string::npos);

  expectResumes(world, slow, [&] {
    EXPECT_EQ(world.ctlOk({"enable"}), "Receiving is on.\n");
    EXPECT_EQ(world.agents(), agents) << "the running agent goes on; no second one";
  });
}

TEST(World, SignOutMidDownload) {
  World world;
  world.signIn();
  SlowDelivery slow = startSlowDelivery(world, "Day 6");
  auto agents = world.agents();
  ASSERT_EQ(agents.size(), 1u);

  // The stored sign-in disappears under the running agent, as signing out removes it.
  // (trellisantctl sign-out also turns receiving off and stops the agent first; see below.)
  Vault::clear();
  world.waitForState("needs_attention", 15s, "Sign in to Trellisant first.");
  world.waitForState("setup", 20s, "Sign in to Trellisant to receive footage.");
  EXPECT_EQ(world.agents(), agents);

  // Signing in again: the delivery waits out its back-off and resumes from the journal.
  expectResumes(world, slow, [&] { world.signIn(); });

  // The command's own sign-out stops the agent, revokes this device and forgets the sign-in.
  auto credentials = Vault::read();
  ASSERT_TRUE(credentials && credentials->deviceId);
  EXPECT_EQ(world.ctlOk({"sign-out"}), "Signed out.\n");
  EXPECT_TRUE(world.agents().empty());
  EXPECT_FALSE(Vault::read());
  Json devices = world.summary().at("devices");
  bool revoked = false;
  for (const auto& device : devices)
    revoked = revoked || (device.at("id") == *credentials->deviceId && device.at("revoked") == true);
  EXPECT_TRUE(revoked) << *credentials->deviceId << " in " << devices.dump();
  EXPECT_NE(world.ctlOk({"status"}).find("state: paused\n"), std::string::npos);
}

TEST(World, OneAgentPerUser) {
  World world;
  world.signIn();
  // This driver stands in for the app, the one program the control service answers.
  fs::copy_file("/proc/self/exe", world.folder() / "bin" / "trellisant");
  SlowDelivery slow = startSlowDelivery(world, "Day 7");
  auto agents = world.agents();
  ASSERT_EQ(agents.size(), 1u);
  struct stat socket {};
  ASSERT_EQ(::stat(Paths::controlSocket().c_str(), &socket), 0);

  // A second agent of the same user, as a manual start beside the login item would be.
  Output second = run({world.agentProgram().string()}, world.folder() / "logs", 10s);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;
  EXPECT_EQ(world.agents(), agents);
  struct stat after {};
  ASSERT_EQ(::stat(Paths::controlSocket().c_str(), &after), 0) << "the first agent's socket is gone";
  EXPECT_EQ(after.st_ino, socket.st_ino);
  EXPECT_TRUE(requestAgentStatus()) << "the first agent's socket does not answer";

  world.admin().clearFaults();
  world.waitForState("completed", 60s);
  EXPECT_TRUE(sameBytes(slow.sources / "A001.mov", slow.folder / "A001.mov"));
  auto ranges = forFile(world.summary().at("providerRequests"), slow.fileId);
  ASSERT_EQ(ranges.size(), 1u) << "a range was fetched twice";
  EXPECT_EQ(ranges[0].at("range"), "bytes=0-" + std::to_string(24 * MiB - 1));
}

}  // namespace
}  // namespace trellisant::e2e
