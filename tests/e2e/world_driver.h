#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "admin_client.h"
#include "control/agent_status.h"
#include "child_process.h"
#include "json.h"
#include "test_support.h"

namespace trellisant::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The programs under test, as built; given on the driver's command line.
struct Programs {
  std::filesystem::path sandbox;
  std::filesystem::path agent;
  std::filesystem::path ctl;
};
Programs& programs();

inline constexpr const char* kServer = "https://trellisant.test";

// One file of a generated delivery folder.
struct SourceFile {
  std::string relativePath;
  std::int64_t size = 0;
};

// A test's view of the world that scripts/world made: the sandbox running in it, the agent
// and trellisantctl side by side in a folder of their own (as installed), and the user's
// files in the world's HOME. Helpers throw std::runtime_error with what went wrong.
class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path agentProgram() const { return folder_ / "bin" / "trellisant-agent"; }
  sandbox::AdminClient& admin() { return admin_; }
  Json summary() { return admin_.summary(); }

  // trellisantctl with these arguments, to its end.
  Output ctl(const std::vector<std::string>& arguments);
  // ctl that must succeed; returns its standard output.
  std::string ctlOk(const std::vector<std::string>& arguments);

  // `trellisantctl sign-in` started, with the authorization address it printed.
  std::pair<Child, std::string> startSignIn();
  // What the sandbox's authorization page redirects to (its Location), fetched like a
  // browser would but without following the redirect.
  std::string authorize(const std::string& authorizationUrl);
  // The whole sign-in: server address, the command, the page, the redirect fed back.
  void signIn();
  // `trellisantctl folder` on `root` (default HOME/Footage), made first; returns it.
  std::filesystem::path chooseFolder(std::filesystem::path root = {});

  // Writes the files below sources/NAME with pseudo-random bytes; returns the folder.
  std::filesystem::path makeSources(const std::string& name, const std::vector<SourceFile>& files);
  // Offers the folder through the admin endpoint as company "Acme" / project "Feature".
  Json send(const std::filesystem::path& folder, const std::string& name);
  // The file id of `relativePath` in a delivery answered by send().
  static std::string fileId(const Json& delivery, const std::string& relativePath);
  // Where the agent puts the delivery: root / company / project / transfer and name.
  std::filesystem::path destination(const std::filesystem::path& root, const Json& delivery) const;

  // The agent's status record, when one was written.
  std::optional<AgentStatus> status() const;
  // Polls status.json until `accept` holds; throws with the last record seen otherwise.
  AgentStatus waitForStatus(const std::function<bool(const AgentStatus&)>& accept,
                            std::chrono::milliseconds limit, const std::string& what) const;
  AgentStatus waitForState(const std::string& state, std::chrono::milliseconds limit,
                           const std::string& message = "") const;

  // Running agent processes of this world's agent program (zombies left out).
  std::vector<pid_t> agents() const;
  // SIGKILL to every agent, then waits until they are gone.
  void killAgents();

  // The journal's offset and state for a file, when it has a row.
  std::optional<std::pair<std::int64_t, std::string>> journal(const std::string& deliveryId,
                                                              const std::string& fileId) const;
  // The size of the file's partial download, when there is one.
  static std::optional<std::int64_t> partialSize(const std::filesystem::path& folder,
                                                  const std::string& fileId);

 private:
  void stopAgents();
  std::filesystem::path folder_;
  std::filesystem::path logs_;
  Child sandbox_;
  sandbox::AdminClient admin_;
};

using trellisant::testing::waitUntil;

// Whether both files hold the same bytes.
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b);
std::string sha256Of(const std::filesystem::path& file);

// The entries of a summary list (e.g. summary["providerRequests"]) for one file.
std::vector<Json> forFile(const Json& list, const std::string& fileId);
// The entries of a summary list for one delivery.
std::vector<Json> forDelivery(const Json& list, const std::string& deliveryId);

}  // namespace trellisant::e2e
