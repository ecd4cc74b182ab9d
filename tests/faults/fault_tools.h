#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "world_driver.h"

namespace trellisant::faults {

using namespace e2e;

// The fault driver's own options, from the environment (ctest and bench/faults set them).
struct FaultOptions {
  int kills = 5;                 // TRELLISANT_KILLS: SIGKILLs of the crash scenario
  int cuts = 6;                  // TRELLISANT_CUTS: power cuts of each power-loss scenario
  std::filesystem::path report;  // TRELLISANT_REPORT: one JSON line per scenario appended
  std::uint64_t seed = 0;        // TRELLISANT_SEED: random moments (0: a fresh seed)
  bool thorough = false;         // TRELLISANT_THOROUGH=1: the longer phases bench/faults runs
};
const FaultOptions& faultOptions();
// The status probe that stands in for the app (TRELLISANT_PROBE).
inline std::string probe() { return required("TRELLISANT_PROBE"); }

// The outcome of one scenario: printed as one line when the scenario ends, and appended to the
// report file as JSON for bench/faults to add up. It passes when the test recorded no failure.
class Scenario {
 public:
  explicit Scenario(std::string name) : name_(std::move(name)) {}
  ~Scenario();
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // A fault was injected; `survived` once its outcome was checked (the right message, nothing
  // written where it must not be, the agent still serving).
  void injected(int count = 1) { injected_ += count; }
  void survived(int count = 1) { survived_ += count; }
  // Bytes of the source that never arrived intact.
  void lost(std::int64_t bytes) { lost_ += bytes; }
  // Files the server was told of that were not at their final names afterwards.
  void missing(int files) { missing_ += files; }
  void detail(std::string text) { details_.push_back(std::move(text)); }

 private:
  std::string name_;
  int injected_ = 0, survived_ = 0, missing_ = 0;
  std::int64_t lost_ = 0;
  std::vector<std::string> details_;
  std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
};


// A tmpfs of its own at `where` (made when missing), so that a test can fill, shrink or pull
// away the download disk. Needs the world's mount namespace; throws std::runtime_error.
class Tmpfs {
 public:
  Tmpfs(fs::path where, std::int64_t bytes);
  ~Tmpfs();
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  void resize(std::int64_t bytes);
  // Shrinks the file system to what it holds plus `slack`, while writes may be going on.
  void shrinkToUsed(std::int64_t slack);
  // Lazy unmount: the path falls back to the folder below, open files live on unreachable.
  void detach();
  std::int64_t used() const;
  const fs::path& where() const { return where_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

// Every name that appears anywhere below a folder while the object lives, through inotify on
// the folder and each subfolder as it appears (so names that live only briefly are seen too).
class FolderWatch {
 public:
  explicit FolderWatch(fs::path root);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Paths relative to the root, each once, in the order first seen.
  std::vector<std::string> seen();

 private:
  void run();
  void watch(const std::string& relative);
  void note(const std::string& relative);

  fs::path root_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::set<std::string> known_;
  std::vector<std::pair<int, std::string>> watches_;
  std::thread thread_;
};

// A delivery sent to the agent: the admin endpoint's answer, its id, and where it lands.
struct Sent {
  Json delivery;
  std::string id;
  fs::path folder;
};

// Copies of one source folder sent one after the other, so that there is always something for
// a fault to hit; `onSend` is told of each.
class Deliveries {
 public:
  Deliveries(World& world, fs::path root, fs::path sources, std::string name,
             std::function<void(const std::string& id)> onSend = {});
  const Sent& current() const { return sent_.back(); }
  const std::vector<Sent>& sent() const { return sent_; }
  void send();
  // Sends the next copy once the current one completed.
  void keepBusy();
  // Waits until every copy completed; whether they did.
  bool waitForAll(std::chrono::milliseconds limit);
  // Each copy's tree against the sources (a failure for each that differs); the bytes lost.
  std::int64_t bytesLost() const;

 protected:
  World& world_;
  fs::path root_, sources_;

 private:
  std::string name_;
  std::function<void(const std::string&)> onSend_;
  std::vector<Sent> sent_;
  std::chrono::steady_clock::time_point nextLook_{};
};

// Every name the deliveries may put in the download folder `root`: their folders, files and
// partial files (relative paths).
std::set<std::string> allowedNames(const fs::path& root, const std::vector<Sent>& sent);

// How many leading bytes of `copy`, up to `limit`, equal those of `source`.
std::int64_t matchingPrefix(const fs::path& source, const fs::path& copy, std::int64_t limit);

// Compares a received tree with its source: a test failure for each file missing, different or
// extra at the destination; the bytes of source files missing or different.
std::int64_t compareTrees(const fs::path& source, const fs::path& destination);

// Regular files below `folder` (relative paths), `skipping` relative folders.
std::set<std::string> filesBelow(const fs::path& folder, const std::vector<std::string>& skipping = {});

// Holds every agent process of the world stopped (SIGSTOP) until thawed or destroyed, so that
// what the journal and the disk show is exactly where the agent is. A thread inside a system
// call stops only when the call returns; with `insideCalls` such a thread counts as stopped
// already (it runs none of its own code before it stops), so a call held by a file system
// cannot keep the freeze waiting.
class Freeze {
 public:
  explicit Freeze(World& world, bool insideCalls = false);
  ~Freeze();
  Freeze(const Freeze&) = delete;
  Freeze& operator=(const Freeze&) = delete;
  void thaw();
  // SIGKILL while stopped, then waits until the processes are gone.
  void kill();

 private:
  World& world_;
  std::vector<pid_t> pids_;
};

// The status record's message, or "" when there is none.
std::string statusMessage(const World& world);
// Waits until the agent publishes "needs_attention" with one of `messages`; returns it.
std::string waitForAttention(const World& world, const std::vector<std::string>& messages,
                             std::chrono::milliseconds limit);

// The reasons of the delivery's "waiting" reports, in order.
std::vector<std::string> waitingReasons(const Json& summary, const std::string& deliveryId);
// Whether the server holds every file of the delivery as completed.
bool deliveryComplete(const Json& summary, const std::string& deliveryId);

}  // namespace trellisant::faults
