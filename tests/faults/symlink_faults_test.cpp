// A folder of the destination is swapped for a symbolic link while files download: the agent
// must refuse the link and write nothing through it.

#include <gtest/gtest.h>

#include <cstdlib>

#include "fault_report.h"
#include "fault_tools.h"

namespace trellisant::faults {
namespace {

using e2e::waitUntil;
using e2e::World;
using namespace std::chrono_literals;

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
  fs::path elsewhere = fs::path(std::getenv("HOME")) / "Elsewhere";
  fs::create_directories(elsewhere);
  // Batches: A001 + A002, then A003.
  fs::path sources =
      world.makeSources("swap", {{"A001.mov", 24 * MiB}, {"A002.mov", 4 * MiB}, {"A003.mov", 4 * MiB}});
  Json delivery = world.send(sources, "Swapped");
  const std::string id = delivery.at("id"), slow = World::fileId(delivery, "A001.mov");
  fs::path folder = world.destination(root, delivery);
  world.admin().fault({{"kind", "trickle"}, {"bytes", 4 * MiB}, {"fileId", slow}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil(
      [&] {
        auto row = world.journal(id, slow);
        return row && row->first >= 8 * MiB;
      },
      60s));
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
  EXPECT_TRUE(e2e::sameBytes(sources / "A001.mov", movedFolder / "A001.mov"));
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
  waitForAttention(world, {"Choose your download folder again to renew access."}, 60s);
  through = entriesBelow(elsewhere);
  EXPECT_TRUE(through.empty()) << through.size() << " entries written through the link";
  if (through.empty()) scenario.survived();
  fs::remove(root);
  fs::rename(real, root);

  // Put back as it was: the delivery completes.
  world.admin().clearFaults();
  ASSERT_TRUE(waitUntil([&] { return deliveryComplete(world.summary(), id); }, 90s, 250ms))
      << "last status: " << statusMessage(world);
  TreeDifference difference = compareTrees(sources, folder);
  EXPECT_TRUE(difference.identical()) << difference.describe();
  scenario.lost(difference.bytesLost);
  EXPECT_TRUE(entriesBelow(elsewhere).empty());
  scenario.detail("the root swapped for a link: \"Choose your download folder again to renew access.\"; "
                  "completed once put back");
}

}  // namespace
}  // namespace trellisant::faults
