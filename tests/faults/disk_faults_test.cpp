// The download disk fills up, or goes away, under the running agent. The disk is a tmpfs of
// its own inside the world: shrunk below what a download needs, unmounted lazily (open files
// live on where nobody can reach them), and mounted again anew, which gives the folder another
// identity.

#include <gtest/gtest.h>

#include <cstdlib>

#include "download/free_space.h"
#include "fault_tools.h"

namespace trellisant::faults {
namespace {

const char* const kFullBeforeStart = "Free up space on your download disk before this transfer starts.";
const char* const kFull = "Your download disk is full. Free up space to resume.";
const char* const kFullBetweenRanges = "Free up space on the download disk to continue.";
const char* const kRenew = "Choose your download folder again to renew access.";

fs::path home() {
  return std::getenv("HOME");
}

// Room for a delivery of `bytes` beside what the agent keeps free.
std::int64_t room(std::int64_t bytes) {
  return freeSpaceReserve(0) + bytes;
}

TEST(Faults, DiskFull) {
  Scenario scenario("disk-full");
  World world;
  world.signIn();
  Tmpfs disk(home() / "Disk", 48 * MiB);
  fs::path root = disk.where() / "Footage";
  world.chooseFolder(root);
  fs::path sources = world.makeSources("full", {{"A001.mov", 40 * MiB}, {"A002.mov", 24 * MiB}});
  Json delivery = world.send(sources, "Full disk");
  const std::string id = delivery.at("id");
  const std::vector<std::string> names = {"A001.mov", "A002.mov"};
  const std::vector<std::string> files = {World::fileId(delivery, names[0]), World::fileId(delivery, names[1])};
  fs::path folder = world.destination(root, delivery);

  // A disk too small for the delivery and the reserve: nothing starts.
  world.ctlOk({"enable"});
  scenario.injected();
  waitForAttention(world, {kFullBeforeStart}, 30s);
  EXPECT_TRUE(world.summary().at("providerRequests").empty());
  EXPECT_FALSE(fs::exists(folder));
  const auto agents = world.agents();

  // Room appears: the delivery starts at its next attempt. Then the disk fills while it writes.
  disk.resize(room(256 * MiB));
  world.admin().fault({{"kind", "trickle"}, {"bytes", 4 * MiB}});
  ASSERT_TRUE(waitUntil([&] { return world.offset(id, files[0]) >= 8 * MiB; }, 60s));
  scenario.survived();
  disk.shrinkToUsed(MiB);
  scenario.injected();
  std::string message = waitForAttention(world, {kFull, kFullBetweenRanges}, 30s);
  EXPECT_EQ(message, kFull);

  // What the journal holds is intact on the disk.
  std::vector<std::int64_t> saved;
  std::vector<std::size_t> before;
  Json summary = world.summary();
  for (std::size_t i = 0; i < files.size(); ++i) {
    saved.push_back(std::max<std::int64_t>(0, world.offset(id, files[i])));
    before.push_back(forFile(summary.at("providerRequests"), files[i]).size());
    if (saved[i] == 0) continue;
    EXPECT_GE(World::partialSize(folder, files[i]).value_or(-1), saved[i]) << names[i];
    EXPECT_EQ(matchingPrefix(sources / names[i], World::partialPath(folder, files[i]), saved[i]), saved[i]) << names[i];
  }

  // Space freed: the delivery resumes from the journal and completes.
  disk.resize(room(256 * MiB));
  world.admin().clearFaults();
  ASSERT_TRUE(waitUntil([&] { return deliveryComplete(world.summary(), id); }, 90s, 250ms))
      << "last status: " << statusMessage(world);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  const std::int64_t lost = compareTrees(sources, folder);
  scenario.lost(lost);
  summary = world.summary();
  bool resumed = true;
  for (std::size_t i = 0; i < files.size(); ++i) {
    auto requests = forFile(summary.at("providerRequests"), files[i]);
    for (std::size_t j = before[i]; j < requests.size(); ++j) {
      resumed = resumed && requests[j].at("start").get<std::int64_t>() >= saved[i];
      EXPECT_TRUE(resumed) << requests[j].dump() << " below " << saved[i];
    }
  }
  if (lost == 0 && resumed) scenario.survived();
  scenario.detail("\"" + std::string(kFullBeforeStart) + "\", then \"" + message +
                  "\"; resumed from the journal at " + std::to_string((saved[0] + saved[1]) / MiB) + " MiB");
}

TEST(Faults, DiskGone) {
  Scenario scenario("disk-gone");
  World world;
  world.signIn();
  auto disk = std::make_unique<Tmpfs>(home() / "Disk", room(512 * MiB));
  fs::path root = disk->where() / "Footage";
  world.chooseFolder(root);
  // Batches: A001 + A002, then A003.
  fs::path sources =
      world.makeSources("gone", {{"A001.mov", 32 * MiB}, {"A002.mov", 8 * MiB}, {"A003.mov", 8 * MiB}});
  Json delivery = world.send(sources, "Gone disk");
  const std::string id = delivery.at("id");
  fs::path folder = world.destination(root, delivery);
  const std::string slow = World::fileId(delivery, "A001.mov");
  world.admin().fault({{"kind", "trickle"}, {"bytes", 4 * MiB}, {"fileId", slow}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.offset(id, slow) >= 8 * MiB; }, 60s));
  const auto agents = world.agents();

  // The disk goes away in the middle of a file.
  const std::size_t completionsBefore = world.summary().at("fileCompletions").size();
  disk->detach();
  scenario.injected();
  std::string message = waitForAttention(
      world,
      {"Connect your download disk and check folder permissions.",
       "Your download disk is unavailable. Reconnect it to resume.",
       "Choose your download folder again in Settings to renew access.",
       "Connect your download disk to receive footage.", "Could not save footage to your disk.",
       "Could not save the downloaded bytes.", "Could not create a partial file on the selected disk."},
      60s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  // No file may count as received while it is on no disk anyone can reach.
  Json summary = world.summary();
  std::vector<std::string> unreachable;
  const Json& completions = summary.at("fileCompletions");
  for (std::size_t i = completionsBefore; i < completions.size(); ++i) unreachable.push_back(completions[i].at("fileId"));
  EXPECT_TRUE(unreachable.empty()) << unreachable.size()
                                   << " file(s) reported complete to the server after their disk was unmounted";

  // A new file system at the same place: the folder is another one now. (A fresh tmpfs numbers
  // its inodes from the start and may get the old device number back, so the folder is made
  // second, as on a disk that was formatted and used again.)
  disk = std::make_unique<Tmpfs>(home() / "Disk", room(512 * MiB));
  fs::create_directories(disk->where() / ".Trashes");
  fs::create_directories(root);
  scenario.injected();
  waitForAttention(world, {kRenew}, 30s);

  // Chosen again: the delivery completes on the new disk.
  world.admin().clearFaults();
  world.chooseFolder(root);
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return deliveryComplete(world.summary(), id) && fs::exists(folder / "A003.mov"); },
                        90s, 250ms))
      << "last status: " << statusMessage(world);
  world.waitForState("completed", 30s);
  const std::int64_t lost = compareTrees(sources, folder);
  scenario.lost(lost);
  if (lost == 0) scenario.survived(unreachable.empty() ? 2 : 1);
  scenario.detail("\"" + message + "\", then \"" + kRenew + "\" until chosen again; " +
                  std::to_string(unreachable.size()) + " file(s) reported complete while the disk was gone");
}

// A folder of the destination is swapped for a symbolic link while files download: the agent
// must refuse the link and write nothing through it.
const char* const kLinked = "A destination folder is unavailable or contains a symbolic link.";

// Everything below `folder`, folders included.
std::vector<std::string> entriesBelow(const fs::path& folder) {
  std::vector<std::string> out;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    out.push_back(it->path().lexically_relative(folder).string());
  return out;
}

TEST(Faults, SymlinkSwap) {
  Scenario scenario("symlink-swap");
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  fs::path elsewhere = home() / "Elsewhere";
  fs::create_directories(elsewhere);
  // Batches: A001 + A002, then A003.
  fs::path sources =
      world.makeSources("swap", {{"A001.mov", 24 * MiB}, {"A002.mov", 4 * MiB}, {"A003.mov", 4 * MiB}});
  Json delivery = world.send(sources, "Swapped");
  const std::string id = delivery.at("id"), slow = World::fileId(delivery, "A001.mov");
  fs::path folder = world.destination(root, delivery);
  world.admin().fault({{"kind", "trickle"}, {"bytes", 4 * MiB}, {"fileId", slow}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.offset(id, slow) >= 8 * MiB; }, 60s));
  const auto agents = world.agents();

  // The project folder moves away and a link to another folder takes its name.
  fs::path project = root / "Acme" / "Feature", moved = root / "Acme" / "Feature.moved";
  fs::rename(project, moved);
  fs::create_directory_symlink(elsewhere, project);
  scenario.injected();
  waitForAttention(world, {kLinked}, 60s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  auto through = entriesBelow(elsewhere);
  EXPECT_TRUE(through.empty()) << through.size() << " entries written through the link, e.g. " << through.front();
  // The files under way went on in the folder they were opened in, wherever it moved.
  fs::path movedFolder = moved / folder.filename();
  EXPECT_TRUE(sameBytes(sources / "A001.mov", movedFolder / "A001.mov"));
  if (through.empty()) scenario.survived();

  scenario.detail(std::string("\"") + kLinked + "\"; " + std::to_string(through.size()) +
                  " entries written through the link");
  // The thorough run goes on (it takes two more retries of the delivery).
  if (!faultOptions().thorough) return;

  // The root itself becomes a link to another folder: that is not the chosen folder.
  fs::remove(project);
  fs::rename(moved, project);
  fs::path real = root.parent_path() / "Footage.real";
  fs::rename(root, real);
  fs::create_directory_symlink(elsewhere, root);
  scenario.injected();
  waitForAttention(world, {kRenew}, 60s);
  through = entriesBelow(elsewhere);
  EXPECT_TRUE(through.empty()) << through.size() << " entries written through the link";
  if (through.empty()) scenario.survived();
  fs::remove(root);
  fs::rename(real, root);

  // Put back as it was: the delivery completes.
  world.admin().clearFaults();
  ASSERT_TRUE(waitUntil([&] { return deliveryComplete(world.summary(), id); }, 90s, 250ms))
      << "last status: " << statusMessage(world);
  const std::int64_t lost = compareTrees(sources, folder);
  scenario.lost(lost);
  EXPECT_TRUE(entriesBelow(elsewhere).empty());
  scenario.detail("the root swapped for a link: \"" + std::string(kRenew) + "\"; "
                  "completed once put back");
}

}  // namespace
}  // namespace trellisant::faults
