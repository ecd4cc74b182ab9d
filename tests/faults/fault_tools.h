#pragma once

#include <sys/mount.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "world_driver.h"

namespace trellisant::faults {

using namespace e2e;

// The fault driver's own options come from the environment (ctest and bench/faults set them):
// TRELLISANT_KILLS (SIGKILLs of the crash scenario), TRELLISANT_CUTS (power cuts of each
// power-loss scenario), TRELLISANT_SEED (random moments) and TRELLISANT_REPORT (a file to which
// each scenario appends its figures as one JSON line).
std::uint64_t option(const char* variable, std::uint64_t otherwise);
// TRELLISANT_SEED, or a fresh seed when it is 0 or not set.
std::uint64_t seed();

// The outcome of one scenario: printed as one line when the scenario ends, and appended to the
// report file as JSON for bench/faults to add up. It passes when the test recorded no failure.
class Scenario {
 public:
  explicit Scenario(std::string name) : name_(std::move(name)) {}
  ~Scenario();
  Scenario(const Scenario&) = delete;

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
// away the download disk: unmounted lazily as it goes, the path falls back to the folder below
// and open files live on unreachable. Needs the world's mount namespace; throws
// std::runtime_error.
class Tmpfs {
 public:
  Tmpfs(fs::path where, std::int64_t bytes);
  ~Tmpfs() { ::umount2(where_.c_str(), MNT_DETACH); }
  // Resized to `bytes`, or with `slack` to what it holds (while writes may be going on).
  void resize(std::int64_t bytes, std::int64_t slack = -1);
  const fs::path& where() const { return where_; }

 private:
  fs::path where_;
};

// A delivery sent to the agent: the admin endpoint's answer, its id, and where it lands.
struct Sent {
  Json delivery;
  std::string id;
  fs::path folder;
};

// Copies of one source folder sent one after the other, so that there is always something for
// a fault to hit: the runner of the crash and power-loss scenarios, which strike the agent
// `count` times and start it again after each.
class Deliveries {
 public:
  Deliveries(World& world, fs::path root, const std::string& name, const std::vector<SourceFile>& files);
  virtual ~Deliveries() = default;
  const Sent& current() const { return sent_.back(); }
  // Sends the next copy once the current one completed.
  void keepBusy();
  // The `faults` (their name), one after the other, the agent started again after each; then the
  // rest at full speed until every copy completed; returns the bytes lost (a failure for each
  // file). Tells the scenario where the faults struck.
  std::int64_t run(Scenario& scenario, int count, const std::string& faults);
  // Names in the download folder that no delivery explains (its folders, files, partial files).
  std::vector<std::string> foreignNames() const;

 protected:
  // Strikes for the `k`th time and checks what it left; where it struck.
  virtual std::string strike(int k) = 0;
  virtual void sendNext();
  virtual void startAgent();

  World& world_;
  fs::path root_, sources_;
  std::vector<Sent> sent_;

 private:
  std::string name_;
  std::chrono::steady_clock::time_point nextLook_{};
};

// How many leading bytes of `copy`, up to `limit`, equal those of `source`.
std::int64_t matchingPrefix(const fs::path& source, const fs::path& copy, std::int64_t limit);

// Holds every agent process of the world stopped (SIGSTOP) until destroyed, so that what the
// journal and the disk show is exactly where the agent is. A thread inside a system call stops
// only when the call returns; with `insideCalls` such a thread counts as stopped already (it
// runs none of its own code before it stops), so a call held by a file system cannot keep the
// freeze waiting.
class Freeze {
 public:
  explicit Freeze(World& world, bool insideCalls = false);
  ~Freeze();
  // SIGKILL while stopped, then waits until the processes are gone.
  void kill();

 private:
  World& world_;
  std::vector<pid_t> pids_;
};

// The reasons of the delivery's "waiting" reports, in order.
std::vector<std::string> waitingReasons(const Json& summary, const std::string& deliveryId);
// Whether the server holds every file of the delivery as completed.
bool deliveryComplete(const Json& summary, const std::string& deliveryId);

}  // namespace trellisant::faults
