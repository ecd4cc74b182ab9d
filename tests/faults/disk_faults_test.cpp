// The download disk fills up, goes away or changes under the running agent. The disk is a tmpfs
// of its own inside the world: shrunk below what a download needs, unmounted lazily (open files
// live on where nobody can reach them), and mounted again anew, which gives the folder another
// identity; or a folder of the destination is swapped for a symbolic link.

#include <gtest/gtest.h>

#include "download/free_space.h"
#include "fault_tools.h"

namespace trellisant::faults {
namespace {

const char* const kFullBeforeStart = "Free up space on your download disk before this transfer starts.";
const char* const kFull = "Your download disk is full. Free up space to resume.";
const char* const kRenew = "Choose your download folder again to renew access.";
const std::int64_t kRoomy = freeSpaceReserve(0) + 512 * MiB;  // beside what the agent keeps free

// A delivery of `files` to `root`, its first file (or each) trickling at 4 MiB/s.
struct DiskRun {
  DiskRun(const fs::path& root, const std::string& name, const std::vector<SourceFile>& files, bool eachSlow = false)
      : root(root) {
    world.signIn();
    world.chooseFolder(root);
    sources = world.makeSources(name, files);
    delivery = world.send(sources, name);
    id = delivery.at("id");
    folder = World::destination(root, delivery);
    for (const auto& file : files) ids.push_back(World::fileId(delivery, file.first));
    Json trickle = {{"kind", "trickle"}, {"bytes", 4 * MiB}, {"fileId", ids[0]}};
    if (eachSlow) trickle.erase("fileId");
    world.admin().fault(trickle);
  }
  // Enabled; once the journal holds 8 MiB of the first file.
  void startAndWait() {
    world.ctlOk({"enable"});
    ASSERT_TRUE(waitUntil([&] { return World::offset(id, ids[0]) >= 8 * MiB; }, 60s));
    agents = world.agents();
  }
  // The rest at full speed, to the end; the bytes lost.
  std::int64_t complete() {
    world.admin().clearFaults();
    EXPECT_TRUE(waitUntil([&] { return deliveryComplete(world.summary(), id); }, 90s, 250ms));
    return compareTrees(sources, folder);
  }

  World world;
  fs::path root, sources, folder;
  Json delivery;
  std::string id;
  std::vector<std::string> ids;
  std::vector<pid_t> agents;
};

const fs::path kHome = std::getenv("HOME");

TEST(Faults, DiskFull) {
  Scenario scenario("disk-full");
  Tmpfs disk(kHome / "Disk", 48 * MiB);
  DiskRun run(disk.where() / "Footage", "Full disk", {{"A001.mov", 40 * MiB}, {"A002.mov", 24 * MiB}}, true);
  // A disk too small for the delivery and the reserve: nothing starts.
  run.world.ctlOk({"enable"});
  scenario.injected();
  run.world.waitForState("needs_attention", 30s, {kFullBeforeStart});
  EXPECT_TRUE(run.world.summary().at("providerRequests").empty());
  EXPECT_FALSE(fs::exists(run.folder));

  // Room appears: the delivery starts at its next attempt. Then the disk fills while it writes.
  disk.resize(kRoomy);
  run.startAndWait();
  scenario.survived();
  disk.resize(0, MiB);
  scenario.injected();
  std::string message = run.world.waitForState(
      "needs_attention", 30s, {kFull, "Free up space on the download disk to continue."}).message;
  EXPECT_EQ(message, kFull);

  // What the journal holds is intact on the disk.
  std::vector<std::int64_t> saved;
  std::vector<std::size_t> before;
  Json summary = run.world.summary();
  for (std::size_t i = 0; i < run.ids.size(); ++i) {
    saved.push_back(std::max<std::int64_t>(0, World::offset(run.id, run.ids[i])));
    before.push_back(forFile(summary.at("providerRequests"), run.ids[i]).size());
    fs::path source = run.sources / ("A00" + std::to_string(i + 1) + ".mov");
    EXPECT_EQ(matchingPrefix(source, World::partialPath(run.folder, run.ids[i]), saved[i]), saved[i]) << source;
  }

  // Space freed: the delivery resumes from the journal and completes.
  disk.resize(kRoomy);
  const std::int64_t lost = run.complete();
  scenario.lost(lost);
  EXPECT_EQ(run.world.agents(), run.agents) << "the agent ended";
  summary = run.world.summary();
  bool resumed = true;
  for (std::size_t i = 0; i < run.ids.size(); ++i) {
    auto requests = forFile(summary.at("providerRequests"), run.ids[i]);
    for (std::size_t j = before[i]; j < requests.size(); ++j) {
      resumed = resumed && requests[j].at("start") >= saved[i];
      EXPECT_TRUE(resumed) << requests[j] << " below " << saved[i];
    }
  }
  if (lost == 0 && resumed) scenario.survived();
  scenario.detail("\"" + std::string(kFullBeforeStart) + "\", then \"" + message + "\"; resumed from the journal at " +
                  std::to_string((saved[0] + saved[1]) / MiB) + " MiB");
}

TEST(Faults, DiskGone) {
  Scenario scenario("disk-gone");
  auto disk = std::make_unique<Tmpfs>(kHome / "Disk", kRoomy);
  // Batches: A001 + A002, then A003.
  DiskRun run(disk->where() / "Footage", "Gone disk",
              {{"A001.mov", 32 * MiB}, {"A002.mov", 8 * MiB}, {"A003.mov", 8 * MiB}});
  run.startAndWait();

  // The disk goes away in the middle of a file.
  const std::size_t completionsBefore = run.world.summary().at("fileCompletions").size();
  disk.reset();
  scenario.injected();
  std::string message = run.world.waitForState("needs_attention", 60s, {
      "Connect your download disk and check folder permissions.",
      "Your download disk is unavailable. Reconnect it to resume.",
      "Choose your download folder again in Settings to renew access.",
      "Connect your download disk to receive footage.", "Could not save footage to your disk.",
      "Could not save the downloaded bytes.", "Could not create a partial file on the selected disk."}).message;
  EXPECT_EQ(run.world.agents(), run.agents) << "the agent ended";
  // No file may count as received while it is on no disk anyone can reach.
  const std::size_t unreachable = run.world.summary().at("fileCompletions").size() - completionsBefore;
  EXPECT_EQ(unreachable, 0u) << "file(s) reported complete to the server after their disk was unmounted";

  // A new file system at the same place: the folder is another one now. (A fresh tmpfs numbers
  // its inodes from the start and may get the old device number back, so the folder is made
  // second, as on a disk that was formatted and used again.)
  disk = std::make_unique<Tmpfs>(kHome / "Disk", kRoomy);
  fs::create_directories(disk->where() / ".Trashes");
  fs::create_directories(run.root);
  scenario.injected();
  run.world.waitForState("needs_attention", 30s, {kRenew});

  // Chosen again: the delivery completes on the new disk.
  run.world.chooseFolder(run.root);
  run.world.ctlOk({"enable"});
  const std::int64_t lost = run.complete();
  scenario.lost(lost);
  if (lost == 0) scenario.survived(unreachable == 0 ? 2 : 1);
  scenario.detail("\"" + message + "\", then \"" + kRenew + "\" until chosen again; " + std::to_string(unreachable) +
                  " file(s) reported complete while the disk was gone");
}

// A folder of the destination is swapped for a symbolic link while files download: the agent
// must refuse the link and write nothing through it.
TEST(Faults, SymlinkSwap) {
  Scenario scenario("symlink-swap");
  // Batches: A001 + A002, then A003.
  DiskRun run(kHome / "Footage", "Swapped", {{"A001.mov", 24 * MiB}, {"A002.mov", 4 * MiB}, {"A003.mov", 4 * MiB}});
  run.startAndWait();
  fs::path elsewhere = kHome / "Elsewhere";
  fs::create_directories(elsewhere);

  // The project folder moves away and a link to another folder takes its name.
  fs::path project = run.root / "Acme" / "Feature", moved = run.root / "Acme" / "Feature.moved";
  fs::rename(project, moved);
  fs::create_directory_symlink(elsewhere, project);
  scenario.injected();
  const std::string linked = "A destination folder is unavailable or contains a symbolic link.";
  run.world.waitForState("needs_attention", 60s, {linked});
  EXPECT_EQ(run.world.agents(), run.agents) << "the agent ended";
  const bool untouched = fs::is_empty(elsewhere);
  EXPECT_TRUE(untouched) << "written through the link";
  // The files under way went on in the folder they were opened in, wherever it moved.
  EXPECT_TRUE(sameBytes(run.sources / "A001.mov", moved / run.folder.filename() / "A001.mov"));
  if (untouched) scenario.survived();
  scenario.detail("\"" + linked + "\"; " + (untouched ? "nothing" : "something") + " written through the link");
}

}  // namespace
}  // namespace trellisant::faults
