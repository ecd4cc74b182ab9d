#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "control/agent_status.h"
#include "platform/notifier.h"
#include "platform/power_policy.h"
#include "api/api.h"
#include "clock.h"
#include "download/downloader.h"
#include "download/journal.h"
#include "log.h"

namespace trellisant {

class AgentService;

// The program's name, as its log lines and --version give it.
inline constexpr std::string_view kAgentProgram = "trellisant-agent";

// How long the agent waits between things. The defaults are the product's; tests shorten them.
struct AgentTiming {
  std::chrono::steady_clock::duration pause = std::chrono::seconds(10);
  std::chrono::steady_clock::duration tick = std::chrono::seconds(5);
  // An event wait that ends this quickly without a new event is followed by a short pause, so
  // a server that refuses the stream is not asked again in a tight loop.
  std::chrono::steady_clock::duration quickWait = std::chrono::seconds(1);
};

// What the agent talks to. Every member has a production default.
struct AgentParts {
  std::shared_ptr<PowerPolicy> power;
  std::shared_ptr<Notifier> notifier;
  Downloader::FreeSpaceProbe freeSpace;
  std::function<std::shared_ptr<API>(const std::string& server)> makeAPI;
  std::function<std::shared_ptr<Downloader>(std::shared_ptr<API>, std::shared_ptr<Journal>)>
      makeDownloader;
  // Seconds of back-off jitter, uniform in [0, 3].
  std::function<double()> jitter;
  // The wall clock of the retry table.
  std::function<Date()> now;
  // Where the log lines go; by default standard error, which the user manager's journal keeps
  // (main() hands in backgroundLog for a start where it leads nowhere).
  LogSink log;
  bool controlService = true;
};

struct RetryEntry {
  int attempt = 0;
  Date next;
};

// The background receiver: one pass after another until stopped.
class Agent {
 public:
  explicit Agent(AgentParts parts = {}, AgentTiming timing = {});
  ~Agent();

  // Runs passes until `stop` is requested.
  void main(std::stop_token stop);
  // One pass of the loop.
  void runPass(std::stop_token stop);

  // The one way the agent writes its status record.
  static void publish(AgentState state, const std::string& message, const Delivery* delivery,
                      std::int64_t bytes);
  // The last record again, stamped with the current time: a pass that changed nothing still
  // shows that the agent is alive. Nothing when there is no readable record.
  static void republish();

  const std::map<std::string, RetryEntry>& retryTable() const { return retries_; }
  std::int64_t eventCursor() const { return cursor_; }

 private:
  void receive(const std::vector<Delivery>& deliveries, const Preferences& preferences,
               const std::shared_ptr<API>& api, const std::filesystem::path& root,
               std::stop_token stop);
  // Publishes how this pass ended; logs it when it differs from the last pass's ending.
  void publishPass(AgentState state, const std::string& message);
  void waitForEvent(API& api, std::stop_token stop);

  AgentParts parts_;
  AgentTiming timing_;
  std::map<std::string, RetryEntry> retries_;
  std::unique_ptr<AgentService> service_;
  std::int64_t cursor_ = 0;
  std::string lastPassLine_;
};

}  // namespace trellisant
