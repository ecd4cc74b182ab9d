#pragma once

// The driver of the end-to-end and fault tests: they run inside scripts/world and drive the
// real programs, whose paths they find in TRELLISANT_SANDBOX, TRELLISANT_AGENT and
// TRELLISANT_CTL (ctest and bench/faults set them).

#include <set>

#include "admin_client.h"
#include "control/agent_status.h"
#include "json.h"
#include "test_support.h"

namespace trellisant::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using trellisant::testing::waitUntil;

inline constexpr const char* kServer = "https://trellisant.test";
inline constexpr std::int64_t MiB = 1024 * 1024;

// The value of a variable the driver needs; throws when it is missing.
std::string required(const char* variable);

// Runs a program to its end (killed after `limit`); its exit status and its output.
std::pair<int, std::string> run(const std::vector<std::string>& argv, const fs::path& logs,
                                std::chrono::seconds limit = 60s);

// Running processes of `program` (zombies left out).
std::vector<pid_t> processes(const fs::path& program);

using SourceFile = std::pair<std::string, std::int64_t>;  // relative path and size

// A test's view of the world that scripts/world made: the sandbox running in it, the agent
// and trellisantctl side by side in a folder of their own (as installed), and the user's
// files in the world's HOME. Helpers throw std::runtime_error with what went wrong.
class World {
 public:
  World();
  ~World();

  const fs::path& folder() const { return folder_; }
  fs::path agentProgram() const { return folder_ / "bin" / "trellisant-agent"; }
  sandbox::AdminClient& admin() { return admin_; }
  Json summary() { return admin_.summary(); }

  // trellisantctl with these arguments: its exit status and output.
  std::pair<int, std::string> ctl(const std::vector<std::string>& arguments);
  // trellisantctl with these arguments, which must succeed; returns its output.
  std::string ctlOk(const std::vector<std::string>& arguments);
  // `trellisantctl sign-in` started, its input a pipe and its output in `log`; the
  // authorization address it printed.
  std::pair<FILE*, std::string> startSignIn(const fs::path& log);
  void signIn();
  // `trellisantctl folder` on `root` (default HOME/Footage), made first; returns it.
  fs::path chooseFolder(fs::path root = fs::path(std::getenv("HOME")) / "Footage");

  // Writes the files below sources/NAME with pseudo-random bytes; returns the folder.
  fs::path makeSources(const std::string& name, const std::vector<SourceFile>& files);
  // Offers the folder through the admin endpoint as company "Acme" / project "Feature".
  Json send(const fs::path& folder, const std::string& name);
  static std::string fileId(const Json& delivery, const std::string& relativePath);
  // Where the agent puts the delivery: root / company / project / transfer and name.
  static fs::path destination(const fs::path& root, const Json& delivery);

  // Polls status.json until it holds `state` (with one of `messages` when given); throws with the
  // last record seen otherwise.
  AgentStatus waitForState(const std::string& state, std::chrono::milliseconds limit,
                           const std::vector<std::string>& messages = {}) const;

  // Running agent processes of this world's agent program.
  std::vector<pid_t> agents() const { return processes(agentProgram()); }
  // Sends `number` to every agent; whether they were all gone within `limit`.
  bool signalAgents(int number, std::chrono::milliseconds limit = 10s) const;

  // The journal's offset and state for a file, when it has a row.
  static std::optional<std::pair<std::int64_t, std::string>> journal(const std::string& deliveryId,
                                                                     const std::string& fileId);
  static std::int64_t offset(const std::string& deliveryId, const std::string& fileId) {
    return journal(deliveryId, fileId).value_or(std::pair{-1, ""}).first;
  }
  static fs::path partialPath(const fs::path& folder, const std::string& id) {
    return folder / (".trellisant-" + id + ".partial");
  }
  static std::optional<std::int64_t> partialSize(const fs::path& folder, const std::string& fileId);

 private:
  fs::path folder_, logs_;
  FILE* sandbox_ = nullptr;
  sandbox::AdminClient admin_;
};

// The rows of a query on the agent's journal, opened read only: a connection that writes would
// checkpoint the log into the database as it closes, which is the agent's to do. Values are
// text; nothing when the journal cannot be read.
std::vector<std::vector<std::string>> journalQuery(const std::string& sql);
// Whether both files hold the same bytes.
bool sameBytes(const fs::path& a, const fs::path& b);
// Regular files below `folder` (relative paths), `skipping` relative folders.
std::set<std::string> filesBelow(const fs::path& folder, const std::vector<std::string>& skipping = {});
// Compares a received tree with its source: a test failure for each file missing, different or
// extra at the destination (the receipt the agent adds, ascmhl/, aside); the bytes of source
// files missing or different.
std::int64_t compareTrees(const fs::path& source, const fs::path& destination);
// What is wrong with the receipt (ASC MHL) in a transfer folder: a manifest that does not load,
// a chain entry without its manifest or with another C4 id. Empty when there is none.
std::vector<std::string> receiptFaults(const fs::path& folder);
// The manifest names the folder's chain lists, in order; empty without a chain.
std::vector<std::string> generations(const fs::path& folder);
// The entries of a summary list (e.g. summary["providerRequests"]) with this value at `key`.
std::vector<Json> entriesWith(const Json& list, const char* key, const std::string& value);
inline std::vector<Json> forFile(const Json& list, const std::string& id) { return entriesWith(list, "fileId", id); }
inline std::vector<Json> forDelivery(const Json& list, const std::string& id) {
  return entriesWith(list, "deliveryId", id);
}

}  // namespace trellisant::e2e
