// Power loss: the download folder and the support folder live on a disk that forgets what was
// not synced (tests/support/lossy_disk.h). The power is cut at chosen moments of multi-file,
// multi-range deliveries, each time followed by a reboot: the agent killed, the disk's memory
// dropped, the disk mounted again, the agent started again. After every reboot and at the end,
// what the journal, the shared files and the server were told must still be on the disk.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "fault_tools.h"
#include "fileio.h"
#include "lossy_disk.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "settings/paths.h"

namespace trellisant::faults {
namespace {

using testing::LossyDisk;
using Event = LossyDisk::Event;

// Two files take two ranges each; batches of the manifest: A001 + A002, A003 + empty, notes + wav.
const std::vector<SourceFile> kCutFiles = {{"A001.mov", 70 * MiB}, {"B-roll/A003.mov", 66 * MiB},
                                        {"A002.mov", 12 * MiB}, {"sound/A001.wav", 3 * MiB},
                                        {"notes.txt", 12'345},  {"empty.txt", 0}};
constexpr auto kAim = 40s;  // how long a moment may take to come

// In the order of the cuts.
enum class CutMoment { range, afterRename, reported, crashThenCut, checkpoint, verifying, beforeRename, anywhere, receipt };
const char* const kMoments[] = {"in a range",
                                "between the rename and the report",
                                "between the report and \"completed\"",
                                "a crash after a rename, the power after its report",
                                "between a checkpoint's fsync and its commit",
                                "verifying",
                                "between the verified checkpoint and the rename",
                                "at a random time",
                                "writing a receipt"};

std::set<std::string> completedFiles(const Json& summary) {
  std::set<std::string> files;
  for (const auto& completion : summary.at("fileCompletions"))
    files.insert(completion.at("deliveryId").get<std::string>() + "/" + completion.at("fileId").get<std::string>());
  return files;
}

class PowerRun : public Deliveries {
 public:
  PowerRun(World& world, LossyDisk& disk, std::uint64_t seed)
      : Deliveries(world, world.chooseFolder(disk.mountPoint() / "Footage"), "power", kCutFiles), disk_(disk),
        random_(seed) {}

  // After every reboot and at the end: whatever the journal, a final name or the server counts
  // as on disk is there, byte for byte, the shared files load and nothing else is in the
  // download folder. Adds a failure for each fault; whether there was none.
  bool check(const std::string& when) {
    std::vector<std::string> faults = foreignNames();
    try {
      Preferences preferences = Preferences::fromJson(Json::parse(readFile(Paths::preferencesFile()).value_or("")));
      if (!preferences.receiving || !preferences.destination) faults.push_back("preferences.json lost its settings");
      if (!Vault::read()) faults.push_back("credentials.json is gone");
    } catch (const std::exception& error) {
      faults.push_back(std::string("preferences.json or credentials.json does not load: ") + error.what());
    }
    // The agent writes its first status some seconds into a delivery; once there, it must stay.
    auto status = readFile(Paths::statusFile());
    if ((status || statusSeen_) && !(status && decodeAgentStatus(*status)))
      faults.push_back("status.json does not load");
    statusSeen_ = statusSeen_ || status;
    if (journalQuery("PRAGMA integrity_check") != std::vector<std::vector<std::string>>{{"ok"}})
      faults.push_back("downloads.sqlite does not load");
    std::set<std::string> heard = completedFiles(world_.summary());
    for (const Sent& sent : sent_) {
      for (const auto& file : sent.delivery.at("files")) checkFile(sent, file, heard, faults);
      for (const auto& fault : receiptFaults(sent.folder)) faults.push_back(fault);
      if (when == "at the end" && generations(sent.folder).empty()) faults.push_back(sent.id + " has no receipt");
    }
    for (const auto& fault : faults) ADD_FAILURE() << when << ": " << fault;
    return faults.empty();
  }

  std::int64_t durableLost = 0;  // bytes the journal or the server counted as on disk, gone
  int reportedMissing = 0;       // files the server heard of, not at their final names
  int survived = 0;

 protected:
  // Each mount of the disk has a device number of its own, which makes the folder's bookmark
  // stale, as a disk that comes back under another device would: the user chooses it again.
  void startAgent() override {
    world_.ctlOk({"folder", root_.string()});
    Deliveries::startAgent();
  }

  // Waits for the moment, cuts the power there and reboots (the agent not started yet).
  std::string strike(int k) override {
    auto moment = static_cast<CutMoment>(k % std::size(kMoments));
    bool hit = aim(moment);
    Freeze freeze(world_, true);  // no agent code runs past the cut: it is stopped first, killed after
    disk_.powerCut(moment == CutMoment::range && std::bernoulli_distribution(0.5)(random_) ? &random_ : nullptr);
    freeze.kill();
    disk_.remount();
    world_.admin().clearInjections();
    if (check("cut " + std::to_string(k + 1))) ++survived;
    return hit ? kMoments[static_cast<int>(moment)] : "elsewhere (the moment did not come)";
  }

 private:
  void checkFile(const Sent& sent, const Json& file, const std::set<std::string>& heard,
                 std::vector<std::string>& faults) {
    const std::string id = file.at("id"), relative = file.at("relativePath");
    const std::int64_t size = file.at("size");
    fs::path source = sources_ / relative, final = sent.folder / relative;
    fs::path partial = World::partialPath(final.parent_path(), id);
    const bool finalThere = fs::exists(final), finalWhole = finalThere && sameBytes(source, final);
    std::int64_t lost = 0;
    auto fault = [&](const std::string& what, std::int64_t bytes) {
      faults.push_back(relative + ": " + what);
      lost = std::max(lost, bytes);
    };
    if (finalThere && !finalWhole) fault("the final name holds a short, empty or wrong file", size);
    if (auto row = World::journal(sent.id, id)) {
      const auto& [offset, state] = *row;
      const std::int64_t kept = state == "partial" ? matchingPrefix(source, partial, offset) : offset;
      if (kept < offset)
        fault("the journal counts " + std::to_string(offset) + " bytes, the partial file holds " + std::to_string(kept),
              offset - kept);
      if ((state == "finalized" && !finalWhole && !sameBytes(source, partial)) || (state == "completed" && !finalWhole))
        fault("the journal says \"" + state + "\" but the file is not on the disk whole", size);
    }
    if (heard.count(sent.id + "/" + id) && !finalWhole) {
      ++reportedMissing;
      fault("the server heard of it, but it is not at its final name", size);
    }
    durableLost += lost;
  }

  bool aim(CutMoment moment) {
    std::uniform_int_distribution<int> writes(0, 150), fsyncs(0, 2), reads(0, 40), wait(0, 3000);
    switch (moment) {
      case CutMoment::range: return held({Event::write, ".partial", writes(random_)});
      case CutMoment::checkpoint: return held({Event::fsync, ".partial", fsyncs(random_)});
      case CutMoment::verifying: return held({Event::read, ".partial", reads(random_)});
      case CutMoment::beforeRename: return held({Event::renameBefore, ".partial", 0});
      case CutMoment::afterRename: return held({Event::renameAfter, ".partial", 0});
      case CutMoment::reported:
        // The server acts on the next report of the current delivery but holds its answer.
        world_.admin().inject({{"method", "POST"},
                               {"path", "/api/v1/native/deliveries/" + current().id + "/file-complete"},
                               {"delayAfterMs", 5000}, {"times", 1}});
        return firstReport();
      case CutMoment::crashThenCut: return crashThenReported();
      case CutMoment::anywhere:
        std::this_thread::sleep_for(std::chrono::milliseconds(wait(random_)));
        break;
      // The manifest moved into place, or the chain that counts it.
      case CutMoment::receipt: return held({Event::renameAfter, ".trellisant-receipt-", fsyncs(random_) % 2});
    }
    return true;
  }

  // Arms the trap and waits until it holds a request, the deliveries going on meanwhile.
  bool held(LossyDisk::Trap trap) {
    disk_.arm(std::move(trap));
    for (auto deadline = std::chrono::steady_clock::now() + kAim; std::chrono::steady_clock::now() < deadline;) {
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
          for (const auto& file : completedFiles(world_.summary()))
            if (!before.count(file) && (only.empty() || file.ends_with("/" + only))) return true;
          return false;
        },
        kAim, 50ms);
  }

  // The agent crashes (no power cut) right after a rename; the power goes once the agent,
  // started again, has reported that file. The file is alone in its folder, so that no other
  // file's work syncs the folder in between.
  bool crashThenReported() {
    if (!held({Event::renameAfter, "sound/.trellisant-", 0})) return false;
    std::string what = *disk_.waitForHold(0ms);
    auto from = what.rfind(".trellisant-") + 12;
    std::string fileId = what.substr(from, what.rfind(".partial") - from);
    {
      Freeze freeze(world_, true);
      disk_.release();
      freeze.kill();
    }
    startAgent();
    return firstReport(fileId);
  }

  LossyDisk& disk_;
  std::mt19937_64 random_;
  bool statusSeen_ = false;
};

void powerLoss(LossyDisk::Names names, const std::string& name) {
  const fs::path home = required("TRELLISANT_WORLD");
  std::unique_ptr<LossyDisk> disk;
  try {
    disk = std::make_unique<LossyDisk>(home / "disk-backing", home / "disk", names);
  } catch (const LossyDisk::Unavailable& error) {
    std::cout << "SKIP " << name << ": " << error.what() << std::endl;
    GTEST_SKIP() << error.what();
  }
  // The support folder and the download folder both live on the lossy disk.
  for (const char* folder : {"data", "Footage"}) fs::create_directories(disk->mountPoint() / folder);
  ASSERT_TRUE(syncFolder(disk->mountPoint()));
  ::setenv("XDG_DATA_HOME", (disk->mountPoint() / "data").c_str(), 1);

  Scenario scenario(name);
  World world;
  world.signIn();
  PowerRun run(world, *disk, seed());
  const std::int64_t lost = run.run(scenario, static_cast<int>(option("TRELLISANT_CUTS", 6)), "power cuts");
  run.check("at the end");
  auto figures = disk->figures();
  EXPECT_EQ(figures.undoFailures, 0) << "the lossy disk could not undo a name change";
  // A disk that forgot nothing would let every check above pass without proving anything.
  EXPECT_TRUE(figures.bytesDropped > 0 && (names == LossyDisk::Names::simple || figures.namesUndone > 0));
  scenario.survived(run.survived);
  scenario.lost(run.durableLost + lost);
  scenario.missing(run.reportedMissing);
  scenario.detail(std::to_string(run.reportedMissing) + " files reported but missing; seed " + std::to_string(seed()));
  scenario.detail(std::to_string(figures.bytesDropped) + " unsynced bytes dropped, " +
                  std::to_string(figures.bytesTorn) + " of them kept torn, " +
                  std::to_string(figures.namesUndone) + " unsynced name changes undone");
}

TEST(Faults, PowerLossStrict) {
  powerLoss(LossyDisk::Names::strict, "power-loss-strict");
}

TEST(Faults, PowerLossSimple) {
  powerLoss(LossyDisk::Names::simple, "power-loss-simple");
}

}  // namespace
}  // namespace trellisant::faults
