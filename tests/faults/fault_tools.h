#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "world_driver.h"

namespace trellisant::faults {

namespace fs = std::filesystem;
inline constexpr std::int64_t MiB = 1024 * 1024;
// What the agent keeps free on the download disk before anything starts.
inline constexpr std::int64_t kReserve = 10'000'000'000;

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
// Every name the deliveries may put in the download folder `root`: their folders, files and
// partial files (relative paths).
std::set<std::string> allowedNames(const fs::path& root, const std::vector<Sent>& sent);

// How many leading bytes of `copy`, up to `limit`, equal those of `source`.
std::int64_t matchingPrefix(const fs::path& source, const fs::path& copy, std::int64_t limit);

// How a received tree differs from its source.
struct TreeDifference {
  std::int64_t bytesLost = 0;        // bytes of source files missing or different
  std::vector<std::string> missing;  // relative paths
  std::vector<std::string> differing;
  std::vector<std::string> extra;    // files at the destination the source lacks
  bool identical() const { return bytesLost == 0 && missing.empty() && differing.empty() && extra.empty(); }
  std::string describe() const;
};
TreeDifference compareTrees(const fs::path& source, const fs::path& destination);

// Regular files below `folder` (relative paths), `skipping` relative folders.
std::set<std::string> filesBelow(const fs::path& folder, const std::vector<std::string>& skipping = {});

// Holds every agent process of the world stopped (SIGSTOP) until thawed or destroyed, so that
// what the journal and the disk show is exactly where the agent is. A thread inside a system
// call stops only when the call returns; with `insideCalls` such a thread counts as stopped
// already (it runs none of its own code before it stops), so a call held by a file system
// cannot keep the freeze waiting.
class Freeze {
 public:
  explicit Freeze(e2e::World& world, bool insideCalls = false);
  ~Freeze();
  Freeze(const Freeze&) = delete;
  Freeze& operator=(const Freeze&) = delete;
  void thaw();
  // SIGKILL while stopped, then waits until the processes are gone.
  void kill();

 private:
  e2e::World& world_;
  std::vector<pid_t> pids_;
};

// The status record's message, or "" when there is none.
std::string statusMessage(const e2e::World& world);
// Waits until the agent publishes "needs_attention" with one of `messages`; returns it.
std::string waitForAttention(const e2e::World& world, const std::vector<std::string>& messages,
                             std::chrono::milliseconds limit);

// The reasons of the delivery's "waiting" reports, in order.
std::vector<std::string> waitingReasons(const Json& summary, const std::string& deliveryId);
// Whether the server holds every file of the delivery as completed.
bool deliveryComplete(const Json& summary, const std::string& deliveryId);

}  // namespace trellisant::faults
