// Power loss: the download folder and the support folder live on a disk that forgets what was
// not synced (tests/support/lossy_disk.h). The power is cut at chosen moments of multi-file,
// multi-range deliveries, each time followed by a reboot: the agent killed, the disk's memory
// dropped, the disk mounted again, the agent started again. After every reboot and at the end,
// what the journal, the shared files and the server were told must still be on the disk.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <random>
#include <thread>

#include "control/agent_status.h"
#include "download/journal.h"
#include "fault_tools.h"
#include "fileio.h"
#include "lossy_disk.h"
#include "settings/preferences.h"
#include "settings/vault.h"

namespace trellisant::faults {
namespace {

using testing::LossyDisk;
using Event = LossyDisk::Event;

// Two files take two ranges each; batches of the manifest: A001 + A002, A003 + empty, notes + wav.
const std::vector<SourceFile> kFiles = {{"A001.mov", 70 * MiB}, {"B-roll/A003.mov", 66 * MiB},
                                        {"A002.mov", 12 * MiB}, {"sound/A001.wav", 3 * MiB},
                                        {"notes.txt", 12'345},  {"empty.txt", 0}};
constexpr std::int64_t kRate = 8 * MiB;  // per connection, so that every moment comes often
constexpr auto kAim = 40s;               // how long a moment may take to come

// In the order of the cuts.
enum class Moment { range, afterRename, reported, crashThenCut, checkpoint, verifying, beforeRename, anywhere };

std::string describe(Moment moment) {
  static const char* const names[] = {"in a range",
                                      "between the rename and the report",
                                      "between the report and \"completed\"",
                                      "a crash after a rename, the power after its report",
                                      "between a checkpoint's fsync and its commit",
                                      "verifying",
                                      "between the verified checkpoint and the rename",
                                      "at a random time"};
  return names[static_cast<int>(moment)];
}

// What a reboot found; every entry is a fault.
struct Findings {
  std::int64_t durableLost = 0;  // bytes the journal or the server counted as on disk, gone
  int reportedMissing = 0;       // files the server heard of, not at their final names
  std::vector<std::string> faults;
};

std::set<std::string> completedFiles(const Json& summary) {
  std::set<std::string> files;
  for (const auto& completion : summary.at("fileCompletions"))
    files.insert(completion.at("deliveryId").get<std::string>() + "/" +
                 completion.at("fileId").get<std::string>());
  return files;
}

// Read only: a connection that writes would checkpoint the log into the database as it closes,
// which is the agent's to do when it starts again.
bool journalLoads() {
  if (!fs::exists(Journal::file())) return false;
  sqlite3* db = nullptr;
  sqlite3_stmt* check = nullptr;
  bool ok =
      sqlite3_open_v2(Journal::file().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
      sqlite3_step(check) == SQLITE_ROW &&
      std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok";
  sqlite3_finalize(check);
  sqlite3_close(db);
  return ok;
}

// The shared files a reboot must find whole: preferences, credentials, status and journal. The
// agent writes its first status some seconds into a delivery; once there, it must stay.
void checkSharedFiles(std::vector<std::string>& faults, bool& statusSeen) {
  try {
    auto text = readFile(Preferences::file());
    Preferences preferences = Preferences::fromJson(Json::parse(text.value_or("")));
    if (!preferences.receiving || !preferences.destination)
      faults.push_back("preferences.json lost its settings");
  } catch (const std::exception& error) {
    faults.push_back(std::string("preferences.json does not load: ") + error.what());
  }
  try {
    if (!Vault::read()) faults.push_back("credentials.json is gone");
  } catch (const std::exception& error) {
    faults.push_back(std::string("credentials.json does not load: ") + error.what());
  }
  auto status = readFile(AgentStatus::file());
  if ((status || statusSeen) && !(status && decodeAgentStatus(*status)))
    faults.push_back("status.json does not load");
  statusSeen = statusSeen || status;
  if (!journalLoads()) faults.push_back("downloads.sqlite does not load");
}

class PowerRun : public Deliveries {
 public:
  PowerRun(World& world, LossyDisk& disk, fs::path root, fs::path sources, std::uint64_t seed)
      : Deliveries(world, std::move(root), std::move(sources), "Power"), disk_(disk), random_(seed) {}

  // Waits for the moment, cuts the power there, reboots and checks the disk (the agent is not
  // started again yet); what the moment turned out to be.
  std::string cutAt(Moment moment, Findings& found) {
    bool hit = aim(moment);
    cut(moment == Moment::range && std::bernoulli_distribution(0.5)(random_));
    check(found);
    return hit ? describe(moment) : "elsewhere (the moment did not come)";
  }

  void startAgent() {
    // Each mount of the disk has a device number of its own, which makes the folder's bookmark
    // stale, as a disk that comes back under another device would: the user chooses it again.
    world_.ctlOk({"folder", root_.string()});
    world_.ctlOk({"enable"});  // the user, or the session, starts the agent again
    if (!waitUntil([&] { return world_.agents().size() == 1; }, 10s))
      throw std::runtime_error("the agent did not start again");
  }

  // After every reboot and at the end: whatever the journal, a final name or the server counts
  // as on disk is there, byte for byte, and nothing else is in the download folder.
  void check(Findings& found) {
    checkSharedFiles(found.faults, statusSeen_);
    std::set<std::string> heard = completedFiles(world_.summary());
    for (const Sent& sent : sent())
      for (const auto& file : sent.delivery.at("files")) checkFile(sent, file, heard, found);
    std::set<std::string> allowed = allowedNames(root_, sent());
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root_, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      std::string name = it->path().lexically_relative(root_).generic_string();
      if (!allowed.count(name))
        found.faults.push_back("a foreign name in the download folder: " + name);
    }
  }

 private:
  void checkFile(const Sent& sent, const Json& file, const std::set<std::string>& heard,
                 Findings& found) {
    const std::string id = file.at("id");
    const std::string relative = file.at("relativePath");
    const std::int64_t size = file.at("size");
    fs::path source = sources_ / relative, final = sent.folder / relative;
    fs::path partial = World::partialPath(final.parent_path(), id);
    std::error_code error;
    const bool finalThere = fs::exists(final, error);
    const bool finalWhole = finalThere && sameBytes(source, final);
    std::int64_t lost = 0;
    if (finalThere && !finalWhole) {
      found.faults.push_back("the final name holds a short, empty or wrong file: " + relative);
      lost = size;
    }
    if (auto row = world_.journal(sent.id, id)) {
      const auto& [offset, state] = *row;
      if (state == "partial" && offset > 0) {
        std::int64_t kept = matchingPrefix(source, partial, offset);
        if (kept < offset)
          found.faults.push_back("the journal counts " + std::to_string(offset) + " bytes of " +
                                 relative + ", the partial file holds " + std::to_string(kept) +
                                 " of them");
        lost = std::max(lost, offset - kept);
      } else if ((state == "finalized" && !finalWhole && !sameBytes(source, partial)) ||
                 (state == "completed" && !finalWhole)) {
        found.faults.push_back("the journal says \"" + state + "\" but " + relative +
                               " is not on the disk whole");
        lost = size;
      }
    }
    if (heard.count(sent.id + "/" + id) && !finalWhole) {
      ++found.reportedMissing;
      found.faults.push_back("the server heard of " + relative +
                             ", which is not at its final name");
      lost = size;
    }
    found.durableLost += lost;
  }

  bool aim(Moment moment) {
    std::uniform_int_distribution<int> writes(0, 150), fsyncs(0, 2), reads(0, 40), wait(0, 3000);
    switch (moment) {
      case Moment::range: return held({Event::write, ".partial", writes(random_)});
      case Moment::checkpoint: return held({Event::fsync, ".partial", fsyncs(random_)});
      case Moment::verifying: return held({Event::read, ".partial", reads(random_)});
      case Moment::beforeRename: return held({Event::renameBefore, ".partial", 0});
      case Moment::afterRename: return held({Event::renameAfter, ".partial", 0});
      case Moment::reported: return reported();
      case Moment::crashThenCut: return crashThenReported();
      case Moment::anywhere: std::this_thread::sleep_for(std::chrono::milliseconds(wait(random_)));
    }
    return true;
  }

  // Arms the trap and waits until it holds a request, the deliveries going on meanwhile.
  bool held(LossyDisk::Trap trap) {
    disk_.arm(std::move(trap));
    auto deadline = std::chrono::steady_clock::now() + kAim;
    while (std::chrono::steady_clock::now() < deadline) {
      keepBusy();
      if (disk_.waitForHold(200ms)) return true;
    }
    disk_.release();
    return false;
  }

  // Waits until the server has heard of a file for the first time (`only`: that file).
  bool firstReport(const std::string& only = "") {
    std::set<std::string> before = completedFiles(world_.summary());
    return waitUntil(
        [&] {
          keepBusy();
          for (const auto& file : completedFiles(world_.summary())) {
            if (!before.count(file) && (only.empty() || file.ends_with("/" + only))) return true;
          }
          return false;
        },
        kAim, 50ms);
  }

  // The server acts on the next report of the current delivery but holds its answer.
  bool reported() {
    world_.admin().inject(
        {{"method", "POST"},
         {"path", "/api/v1/native/deliveries/" + current().id + "/file-complete"},
         {"delayAfterMs", 5000},
         {"times", 1}});
    return firstReport();
  }

  // The agent crashes (no power cut) right after a rename; the power goes once the agent,
  // started again, has reported that file. The file is alone in its folder, so that no other
  // file's work syncs the folder in between.
  bool crashThenReported() {
    if (!held({Event::renameAfter, "sound/.trellisant-", 0})) return false;
    std::string what = *disk_.waitForHold(0ms);
    auto from = what.rfind(".trellisant-") + 12;
    std::string fileId = what.substr(from, what.rfind(".partial") - from);
    Freeze freeze(world_, true);
    disk_.release();
    freeze.kill();
    startAgent();
    return firstReport(fileId);
  }

  // No agent code runs past the cut: it is stopped first, killed after.
  void cut(bool tear) {
    Freeze freeze(world_, true);
    disk_.powerCut(tear ? &random_ : nullptr);
    freeze.kill();
    disk_.remount();
    world_.admin().clearInjections();
  }

  LossyDisk& disk_;
  std::mt19937_64 random_;
  bool statusSeen_ = false;
};

void powerLoss(LossyDisk::Names names, const std::string& name) {
  const fs::path home = std::getenv("TRELLISANT_WORLD");
  std::unique_ptr<LossyDisk> disk;
  try {
    disk = std::make_unique<LossyDisk>(home / "disk-backing", home / "disk", names);
  } catch (const LossyDisk::Unavailable& error) {
    std::cout << "SKIP " << name << ": " << error.what() << std::endl;
    GTEST_SKIP() << error.what();
  }
  // The support folder and the download folder both live on the lossy disk.
  fs::create_directories(disk->mountPoint() / "data");
  fs::create_directories(disk->mountPoint() / "Footage");
  ASSERT_TRUE(syncFolder(disk->mountPoint()));
  ::setenv("XDG_DATA_HOME", (disk->mountPoint() / "data").c_str(), 1);

  Scenario scenario(name);
  const int cuts = faultOptions().cuts;
  std::uint64_t seed = faultOptions().seed != 0 ? faultOptions().seed : std::random_device{}();
  World world;
  world.signIn();
  fs::path root = world.chooseFolder(disk->mountPoint() / "Footage");
  fs::path sources = world.makeSources("power", kFiles);
  world.admin().fault({{"kind", "trickle"}, {"bytes", kRate}});
  PowerRun run(world, *disk, root, sources, seed);
  run.send();
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));

  std::map<std::string, int> moments;
  Findings found;
  int survived = 0;
  for (int k = 0; k < cuts; ++k) {
    std::size_t before = found.faults.size();
    ++moments[run.cutAt(static_cast<Moment>(k % 8), found)];
    scenario.injected();
    for (std::size_t i = before; i < found.faults.size(); ++i)
      ADD_FAILURE() << "cut " << k + 1 << ": " << found.faults[i];
    if (found.faults.size() == before) ++survived;
    run.startAgent();
  }

  world.admin().clearFaults();  // the rest at full speed
  EXPECT_TRUE(run.waitForAll(240s)) << "the deliveries did not complete: " << statusMessage(world);
  std::size_t before = found.faults.size();
  run.check(found);
  for (std::size_t i = before; i < found.faults.size(); ++i)
    ADD_FAILURE() << "at the end: " << found.faults[i];
  found.durableLost += run.bytesLost();

  auto figures = disk->figures();
  EXPECT_EQ(figures.undoFailures, 0) << "the lossy disk could not undo a name change";
  scenario.survived(survived);
  scenario.lost(found.durableLost);
  scenario.missing(found.reportedMissing);
  std::string where;
  for (const auto& [moment, count] : moments)
    where += (where.empty() ? "" : ", ") + std::to_string(count) + " " + moment;
  scenario.detail(std::to_string(cuts) + " power cuts (" + where + ") over " +
                  std::to_string(run.sent().size()) + " deliveries of " +
                  std::to_string(kFiles.size()) + " files");
  scenario.detail(std::to_string(found.reportedMissing) + " files reported but missing");
  scenario.detail(std::to_string(figures.bytesDropped) + " unsynced bytes dropped, " +
                  std::to_string(figures.bytesTorn) + " of them kept torn, " +
                  std::to_string(figures.namesUndone) + " unsynced name changes undone");
  scenario.detail((found.faults.empty() ? std::string("no fault found")
                                        : "first fault: " + found.faults.front()) +
                  "; seed " + std::to_string(seed));
}

TEST(Faults, PowerLossStrict) {
  powerLoss(LossyDisk::Names::strict, "power-loss-strict");
}

TEST(Faults, PowerLossSimple) {
  powerLoss(LossyDisk::Names::simple, "power-loss-simple");
}

}  // namespace
}  // namespace trellisant::faults
