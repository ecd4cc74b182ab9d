// Crash anywhere: the agent is killed with SIGKILL at random moments of multi-file, multi-range
// deliveries (in a range, while it verifies a file, after the verified checkpoint but before the
// rename, between the rename and the server's answer to the report, or wherever it happens to
// be) and started again each time. The received trees must equal their sources, no byte below a
// checkpoint may be asked for twice, and nothing but the deliveries' own files and partial files
// may ever appear in the download folder.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "fault_tools.h"

namespace trellisant::faults {
namespace {


// Batches of the manifest (sorted by path): A001 + A002, A004 + B-roll/A003, empty + notes, wav.
const std::vector<SourceFile> kFiles = {
    {"A001.mov", 72 * MiB},       {"A002.mov", 20 * MiB},  {"B-roll/A003.mov", 70 * MiB},
    {"A004.mov", 9 * MiB},        {"sound/A001.wav", 3 * MiB}, {"notes.txt", 12'345},
    {"empty.txt", 0}};
constexpr std::int64_t kRate = 8 * MiB;  // per connection, so that moments are easy to hit
// The answer to a file report is held back this long, which opens the window between the
// rename and the server's answer.
constexpr int kReportDelayMs = 1200;

enum class Moment { Range, Verifying, BeforeRename, Reporting, Anywhere };
const Moment kPattern[] = {Moment::Range, Moment::Reporting, Moment::Verifying, Moment::Anywhere,
                           Moment::BeforeRename};

// Where one file stood while the agent was stopped.
struct FileAt {
  std::string id;
  std::int64_t size = 0;
  std::optional<std::pair<std::int64_t, std::string>> row;
  std::optional<std::int64_t> partial;
  bool final = false;
};

// Per file of a delivery: the journal's checkpoint right after a kill, and how many range
// requests the provider had seen by then.
struct Snapshot {
  int kill = 0;  // which SIGKILL, from 0
  std::map<std::string, std::int64_t> checkpoint;
  std::map<std::string, std::size_t> requests;
};

std::vector<Json> rangeRequests(const Json& summary, const Sent& sent, const std::string& fileId) {
  return forDelivery(forFile(summary.at("providerRequests"), fileId), sent.id);
}

class CrashRun : public Deliveries {
 public:
  CrashRun(World& world, fs::path root, fs::path sources)
      : Deliveries(world, std::move(root), std::move(sources), "Crash", [&world](const std::string& id) {
          world.admin().inject({{"method", "POST"},
                                {"path", "/api/v1/native/deliveries/" + id + "/file-complete"},
                                {"delayMs", kReportDelayMs}});
        }) {}

  const std::map<std::string, std::vector<Snapshot>>& snapshots() const { return snapshots_; }

  std::vector<FileAt> inspect() const {
    std::vector<FileAt> files;
    for (const auto& file : current().delivery.at("files")) {
      fs::path path = current().folder / file.at("relativePath").get<std::string>();
      std::error_code error;
      files.push_back({file.at("id"), file.at("size"), world_.journal(current().id, file.at("id")),
                       World::partialSize(path.parent_path(), file.at("id")), fs::exists(path, error)});
    }
    return files;
  }

  // The journal and the provider's log right after a kill.
  void snapshot(int kill) {
    Json summary = world_.summary();
    Snapshot snapshot{kill, {}, {}};
    for (const FileAt& file : inspect()) {
      snapshot.checkpoint[file.id] = !file.row ? 0 : file.row->second == "partial" ? file.row->first : file.size;
      snapshot.requests[file.id] = rangeRequests(summary, current(), file.id).size();
    }
    snapshots_[current().id].push_back(snapshot);
  }

 private:
  std::map<std::string, std::vector<Snapshot>> snapshots_;
};

// What the agent was doing, judged from the journal and the disk while it stood still.
std::string classify(const std::vector<FileAt>& files) {
  bool reporting = false, renaming = false, verifying = false, range = false;
  for (const FileAt& file : files) {
    if (!file.row) continue;
    const auto& [offset, state] = *file.row;
    if (state == "finalized" && file.final) reporting = true;
    if (state == "finalized" && !file.final && file.partial) renaming = true;
    if (state == "partial" && file.size > 0 && offset == file.size && !file.final) verifying = true;
    if (state == "partial" && offset < file.size && file.partial) range = true;
  }
  return reporting ? "between rename and report"
         : renaming ? "before the rename"
         : verifying ? "verifying"
         : range     ? "in a range"
                     : "elsewhere";
}

bool matches(Moment moment, const std::vector<FileAt>& files) {
  std::string what = classify(files);
  switch (moment) {
    case Moment::Reporting:
    case Moment::BeforeRename: return what == "between rename and report";
    case Moment::Verifying: return what == "verifying";
    case Moment::Range:
      // Bytes past the last checkpoint: the range is under way.
      return std::any_of(files.begin(), files.end(), [](const FileAt& f) {
        return f.row && f.row->second == "partial" && f.partial && *f.partial > f.row->first;
      });
    case Moment::Anywhere: return true;
  }
  return true;
}

// Bytes on disk past the journal's checkpoint: written, never confirmed, fetched again.
std::int64_t unconfirmed(const std::vector<FileAt>& files) {
  std::int64_t bytes = 0;
  for (const FileAt& file : files) {
    if (file.row && file.row->second == "partial" && file.partial)
      bytes += std::max<std::int64_t>(0, *file.partial - file.row->first);
  }
  return bytes;
}

// Moves every renamed but unreported file of the current delivery back to its partial name.
void undoRename(const CrashRun& run, const std::vector<FileAt>& files) {
  for (const auto& file : run.current().delivery.at("files")) {
    auto at = std::find_if(files.begin(), files.end(), [&](const FileAt& f) { return f.id == file.at("id"); });
    if (at == files.end() || !at->row || at->row->second != "finalized" || !at->final) continue;
    fs::path path = run.current().folder / file.at("relativePath").get<std::string>();
    fs::rename(path, World::partialPath(path.parent_path(), at->id));
  }
}

// Waits for the moment with the agent stopped at it, kills it there; returns what it was doing
// and adds the unconfirmed bytes it left to `again`.
std::string killAt(World& world, CrashRun& run, Moment moment, std::mt19937_64& random,
                   std::int64_t& again) {
  if (moment == Moment::Range || moment == Moment::Anywhere) {
    // Anywhere includes the agent's first steps after a start: lease, file list, space check.
    std::uniform_int_distribution<int> wait(moment == Moment::Range ? 100 : 0, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(wait(random)));
  }
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (true) {
    run.keepBusy();
    Freeze freeze(world);
    auto files = run.inspect();
    if (matches(moment, files) || std::chrono::steady_clock::now() > deadline) {
      freeze.kill();
      again += unconfirmed(files);
      if (moment == Moment::BeforeRename && classify(files) == "between rename and report") {
        // A rename is atomic: moving the file back to its partial name leaves the disk exactly
        // as a kill just before the rename would have (the journal already says "finalized").
        undoRename(run, files);
        return classify(run.inspect());
      }
      return classify(files);
    }
    freeze.thaw();
    std::this_thread::sleep_for(moment == Moment::Range ? 20ms : 2ms);
  }
}

// Requests made after a kill must start at or above the checkpoint the journal held then.
// Returns each violation with the kill it followed.
std::vector<std::pair<int, std::string>> rangeViolations(const Json& summary, const Sent& sent,
                                                         const std::vector<Snapshot>& snapshots) {
  std::vector<std::pair<int, std::string>> violations;
  for (const auto& file : sent.delivery.at("files")) {
    std::string fileId = file.at("id");
    auto requests = rangeRequests(summary, sent, fileId);
    for (std::size_t j = 0; j < requests.size(); ++j) {
      std::int64_t bound = 0;
      int after = -1;
      for (const Snapshot& snapshot : snapshots) {
        if (snapshot.requests.at(fileId) > j) continue;
        bound = snapshot.checkpoint.at(fileId);
        after = snapshot.kill;
      }
      const Json& request = requests[j];
      std::string path = file.at("relativePath");
      if (!request.at("start").is_number_integer()) {
        violations.emplace_back(after, path + ": " + request.dump());
        continue;
      }
      std::int64_t start = request.at("start");
      if (start < bound)
        violations.emplace_back(after, path + " asked again from " + std::to_string(start) +
                                           " below its checkpoint " + std::to_string(bound) +
                                           " after kill " + std::to_string(after + 1));
    }
  }
  return violations;
}

TEST(Faults, CrashAnywhere) {
  Scenario scenario("crash-anywhere");
  const int kills = faultOptions().kills;
  std::uint64_t seed = faultOptions().seed != 0 ? faultOptions().seed : std::random_device{}();
  std::mt19937_64 random(seed);

  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  fs::path sources = world.makeSources("crash", kFiles);
  FolderWatch watch(root);
  world.admin().fault({{"kind", "trickle"}, {"bytes", kRate}});
  CrashRun run(world, root, sources);
  run.send();
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));

  std::map<std::string, int> moments;
  std::int64_t again = 0;
  for (int k = 0; k < kills; ++k) {
    Moment aim = kPattern[k % std::size(kPattern)];
    ++moments[killAt(world, run, aim, random, again)];
    scenario.injected();
    run.snapshot(k);
    world.ctlOk({"enable"});  // the user, or the session, starts the agent again
    ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s)) << "kill " << k + 1;
  }

  // The rest at full speed.
  world.admin().clearFaults();
  world.admin().clearInjections();
  ASSERT_TRUE(run.waitForAll(240s)) << "the deliveries did not complete";
  ASSERT_EQ(world.agents().size(), 1u) << "the agent ended after the last restart";

  const std::int64_t lost = run.bytesLost();
  scenario.lost(lost);
  Json summary = world.summary();
  std::size_t askedAgain = 0;
  std::set<int> failedKills;
  for (const Sent& sent : run.sent()) {
    for (const auto& file : sent.delivery.at("files")) {
      auto completions = forFile(summary.at("fileCompletions"), file.at("id"));
      EXPECT_FALSE(completions.empty()) << file.at("relativePath");
      for (const auto& completion : completions) EXPECT_EQ(completion.at("matches"), true) << completion.dump();
    }
    auto found = run.snapshots().find(sent.id);
    auto violations = rangeViolations(
        summary, sent, found == run.snapshots().end() ? std::vector<Snapshot>{} : found->second);
    for (const auto& [kill, violation] : violations) {
      ADD_FAILURE() << violation;
      failedKills.insert(kill);
    }
    askedAgain += violations.size();
  }

  std::set<std::string> allowed = allowedNames(root, run.sent());
  std::vector<std::string> foreign;
  for (const auto& name : watch.seen()) {
    if (!allowed.count(name)) foreign.push_back(name);
  }
  for (const auto& name : foreign) ADD_FAILURE() << "appeared in the download folder: " << name;

  if (lost == 0 && foreign.empty()) scenario.survived(kills - static_cast<int>(failedKills.size()));
  std::string where;
  for (const auto& [moment, count] : moments) where += (where.empty() ? "" : ", ") + std::to_string(count) + " " + moment;
  scenario.detail(std::to_string(kills) + " SIGKILLs (" + where + ") over " + std::to_string(run.sent().size()) +
                  " deliveries of " + std::to_string(kFiles.size()) + " files");
  scenario.detail(std::to_string(askedAgain) + " requests below a checkpoint; " + std::to_string(again) +
                  " unconfirmed bytes past the checkpoints fetched again");
  scenario.detail(std::to_string(foreign.size()) + " foreign names in the folder; seed " + std::to_string(seed));
}

}  // namespace
}  // namespace trellisant::faults
