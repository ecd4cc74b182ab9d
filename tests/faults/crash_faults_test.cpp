// Crash anywhere: the agent is killed with SIGKILL at random moments of multi-file, multi-range
// deliveries (in a range, while it verifies the end of a file, after the verified checkpoint but before the
// rename, between the rename and the server's answer to the report, or wherever it happens to
// be) and started again each time. The received trees must equal their sources, no byte below a
// checkpoint may be asked for twice, and nothing but the deliveries' own files and partial files
// may be left in the download folder.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "fault_tools.h"

namespace trellisant::faults {
namespace {

// Batches of the manifest (sorted by path): A001 + A002, A004 + B-roll/A003, empty + notes, wav.
const std::vector<SourceFile> kCrashFiles = {
    {"A001.mov", 72 * MiB},       {"A002.mov", 20 * MiB},  {"B-roll/A003.mov", 70 * MiB},
    {"A004.mov", 9 * MiB},        {"sound/A001.wav", 3 * MiB}, {"notes.txt", 12'345},
    {"empty.txt", 0}};

enum class CrashMoment { Range, Verifying, BeforeRename, Reporting, Anywhere };
const CrashMoment kPattern[] = {CrashMoment::Range, CrashMoment::Reporting, CrashMoment::Verifying, CrashMoment::Anywhere,
                           CrashMoment::BeforeRename};
const char* const kReporting = "between rename and report";

// Where one file stood while the agent was stopped.
struct FileAt {
  std::string id;
  fs::path final;
  std::int64_t size = 0;
  std::int64_t offset = 0;  // the journal's, with its state ("" without a row)
  std::string state;
  std::optional<std::int64_t> partial;
  bool renamed = false;
};

// What the agent was doing, judged from the journal and the disk while it stood still.
std::string classify(const std::vector<FileAt>& files) {
  auto any = [&](auto test) { return std::any_of(files.begin(), files.end(), test); };
  if (any([](const FileAt& f) { return f.state == "finalized" && f.renamed; })) return kReporting;
  if (any([](const FileAt& f) { return f.state == "finalized" && f.partial; })) return "before the rename";
  if (any([](const FileAt& f) { return f.state == "partial" && f.size > 0 && f.offset == f.size && !f.renamed; }))
    return "verifying";
  if (any([](const FileAt& f) { return f.state == "partial" && f.offset < f.size && f.partial; })) return "in a range";
  return "elsewhere";
}

// Per file of a delivery: the journal's checkpoint right after a kill, and how many range
// requests the provider had seen by then.
struct Snapshot {
  int kill = 0;
  std::map<std::string, std::int64_t> checkpoint;
  std::map<std::string, std::size_t> requests;
};

class CrashRun : public Deliveries {
 public:
  CrashRun(World& world, std::uint64_t seed)
      : Deliveries(world, world.chooseFolder(), "crash", kCrashFiles), random_(seed) {}

  // Requests made after a kill must start at or above the checkpoint the journal held then.
  // Adds a failure for each; the kills that were followed by one.
  std::set<int> rangeViolations() {
    Json summary = world_.summary();
    std::set<int> kills;
    for (const Sent& sent : sent_) {
      for (const auto& file : sent.delivery.at("files")) {
        const std::string fileId = file.at("id");
        auto requests = forDelivery(forFile(summary.at("providerRequests"), fileId), sent.id);
        for (std::size_t j = 0; j < requests.size(); ++j) {
          const Snapshot* last = nullptr;
          for (const Snapshot& snapshot : snapshots_[sent.id])
            if (snapshot.requests.at(fileId) <= j) last = &snapshot;
          const Json& start = requests[j].at("start");
          if (!last || (start.is_number_integer() && start >= last->checkpoint.at(fileId))) continue;
          ADD_FAILURE() << file.at("relativePath") << " asked below its checkpoint after kill " << last->kill + 1;
          kills.insert(last->kill);
        }
      }
    }
    return kills;
  }

 protected:
  void sendNext() override {
    Deliveries::sendNext();
    // The answer to a file report is held back, which opens the window between the rename and
    // the server's answer.
    world_.admin().inject({{"method", "POST"}, {"path", "/api/v1/native/deliveries/" + current().id + "/file-complete"},
                           {"delayMs", 1200}});
  }

  std::string strike(int k) override {
    std::string where = killAt(kPattern[k % std::size(kPattern)]);
    Json summary = world_.summary();
    Snapshot snapshot{k, {}, {}};
    for (const FileAt& file : inspect()) {
      snapshot.checkpoint[file.id] = file.state == "partial" ? file.offset : file.state.empty() ? 0 : file.size;
      snapshot.requests[file.id] = forDelivery(forFile(summary.at("providerRequests"), file.id), current().id).size();
    }
    snapshots_[current().id].push_back(snapshot);
    for (const auto& name : foreignNames()) ADD_FAILURE() << "left behind by kill " << k + 1 << ": " << name;
    return where;
  }

 private:
  std::vector<FileAt> inspect() const {
    std::vector<FileAt> files;
    for (const auto& file : current().delivery.at("files")) {
      fs::path path = current().folder / file.at("relativePath").get<std::string>();
      auto row = World::journal(current().id, file.at("id")).value_or(std::pair{0, ""});
      files.push_back({file.at("id"), path, file.at("size"), row.first, row.second,
                       World::partialSize(path.parent_path(), file.at("id")), fs::exists(path)});
    }
    return files;
  }

  // Waits for the moment with the agent stopped at it and kills it there; what it was doing.
  std::string killAt(CrashMoment moment) {
    if (moment == CrashMoment::Range || moment == CrashMoment::Anywhere) {
      // Anywhere includes the agent's first steps after a start: lease, file list, space check.
      std::this_thread::sleep_for(std::chrono::milliseconds(
          std::uniform_int_distribution<int>(moment == CrashMoment::Range ? 100 : 0, 2000)(random_)));
    }
    const auto pause = moment == CrashMoment::Range ? 20ms : 2ms;
    // A large file is mostly verified behind its ranges, so the moment after its last byte is
    // short and, on busy cores, often missed: past its limit the kill comes wherever the agent is.
    const auto limit = moment == CrashMoment::Verifying ? 10s : 30s;
    for (auto deadline = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(pause)) {
      keepBusy();
      Freeze freeze(world_);
      auto files = inspect();
      std::string what = classify(files);
      // In a range: bytes past the last checkpoint.
      bool hit = moment == CrashMoment::Anywhere || std::chrono::steady_clock::now() > deadline ||
                 (moment == CrashMoment::Range ? std::any_of(files.begin(), files.end(), [](const FileAt& f) {
                   return f.state == "partial" && f.partial > f.offset;
                 }) : what == (moment == CrashMoment::Verifying ? "verifying" : kReporting));
      if (!hit) continue;
      freeze.kill();
      if (moment != CrashMoment::BeforeRename || what != kReporting) return what;
      // A rename is atomic: moving the file back to its partial name leaves the disk exactly as a
      // kill just before the rename would have (the journal already says "finalized").
      for (const FileAt& file : files)
        if (file.state == "finalized" && file.renamed)
          fs::rename(file.final, World::partialPath(file.final.parent_path(), file.id));
      return classify(inspect());
    }
  }

  std::mt19937_64 random_;
  std::map<std::string, std::vector<Snapshot>> snapshots_;
};

TEST(Faults, CrashAnywhere) {
  Scenario scenario("crash-anywhere");
  const int kills = static_cast<int>(option("TRELLISANT_KILLS", 5));
  World world;
  world.signIn();
  CrashRun run(world, seed());
  const std::int64_t lost = run.run(scenario, kills, "SIGKILLs");
  scenario.lost(lost);

  // Every file was reported (run() waited for that) with the hash of its source.
  const Json summary = world.summary();  // held: the loop reads into it
  for (const auto& report : summary.at("fileCompletions")) EXPECT_EQ(report.at("matches"), true) << report;
  std::set<int> failedKills = run.rangeViolations();
  auto foreign = run.foreignNames();
  for (const auto& name : foreign) ADD_FAILURE() << "left in the download folder: " << name;
  if (lost == 0 && foreign.empty()) scenario.survived(kills - static_cast<int>(failedKills.size()));
  scenario.detail(std::to_string(failedKills.size()) + " kills followed by a request below a checkpoint; " +
                  std::to_string(foreign.size()) + " foreign names in the folder; seed " + std::to_string(seed()));
}

}  // namespace
}  // namespace trellisant::faults
