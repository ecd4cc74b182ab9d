#pragma once

// What the hostile-server and hostile-provider scenarios share: many small deliveries, each
// with its own fault, sent together, and the checks that follow them.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fault_report.h"
#include "fault_tools.h"

namespace trellisant::faults {

// One delivery that meets one fault.
struct HostileCase {
  std::string label;
  // What the server announces instead of the truth ("transferId", "files", …; see AdminServer).
  Json announcements = Json::object();
  e2e::SourceFile file{"clip.mov", 256 * 1024};
  std::string company = "Acme";
  std::string name;  // of the delivery; the label when empty
  // Makes the servers misbehave for this delivery, once it is sent.
  std::function<void(e2e::World&, const Json& delivery)> inject;
  // The reason the agent must give (the first "waiting" report); empty when none is expected.
  std::string message;
  // Whether the delivery completes once the servers behave again.
  bool completes = false;
};

// A sent case.
struct SentCase {
  HostileCase what;
  Json delivery;
  std::string id;
  fs::path sources;
  fs::path folder;  // its destination
};

class HostileRun {
 public:
  HostileRun(e2e::World& world, fs::path root);

  // Sends every case as its own delivery and applies its injection.
  void send(std::vector<HostileCase> cases);
  const std::vector<SentCase>& sent() const { return sent_; }

  // Waits until every case that must give a reason has given one.
  void waitForReasons(std::chrono::milliseconds limit);
  // Waits until every case that must complete has completed.
  void waitForCompletion(std::chrono::milliseconds limit);

  // Checks each case's reason and, for those that completed, their files; counts survivals.
  void check(Scenario& scenario);
  // Regular files that appeared since the run began outside the download folder (and the
  // agent's own folders), and files in the download folder that no delivery explains.
  std::vector<std::string> strayFiles();

 private:
  void waitForEach(std::function<bool(const Json&, const SentCase&)> pending,
                   std::chrono::milliseconds limit, const std::string& failure);
  e2e::World& world_;
  fs::path root_;
  std::set<std::string> before_;
  std::vector<SentCase> sent_;
};

// A capability answer for the delivery's first file, with `changes` applied to the true one.
Json capabilityAnswer(const e2e::World& world, const Json& delivery, const Json& changes);
// A company injection on one of the delivery's own requests ("lease", "manifest", …).
Json deliveryInjection(const Json& delivery, const std::string& method, const std::string& leaf,
                       int status, const std::string& body, int times = -1);

}  // namespace trellisant::faults
