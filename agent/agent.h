#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "api/api.h"
#include "clock.h"
#include "control/agent_status.h"
#include "control/agent_timing.h"
#include "download/downloader.h"
#include "log.h"
#include "platform/notifier.h"
#include "platform/power_policy.h"
#include "receipt_step.h"
#include "retry_table.h"
#include "program.h"
#include "settings/preferences.h"
#include "status_sink.h"

namespace trellisant {

class AgentService;

// What the agent talks to. Every member has a production default.
struct AgentParts {
  std::shared_ptr<PowerPolicy> power;
  std::shared_ptr<Notifier> notifier;
  Downloader::FreeSpaceProbe freeSpace;
  std::function<std::shared_ptr<API>(const std::string& server)> makeAPI;
  // The preferences as they stand now, and with them whether receiving is on. Asked afresh at
  // each pass, each progress tick, after each delivery, before each range and at each line of
  // the event wait; production reads preferences.json.
  std::function<Preferences()> settings;
  // Seconds of back-off jitter, uniform in [0, 3].
  std::function<double()> jitter;
  // The wall clock of the retry table.
  std::function<Date()> now;
  // Where the log lines go; by default standard error, which the user manager's journal keeps
  // (main() hands in backgroundLog for a start where it leads nowhere).
  LogSink log;
  bool controlService = true;
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

  const std::map<std::string, RetryEntry>& retryTable() const { return retries_.entries(); }

 private:
  void receive(const std::vector<Delivery>& deliveries, const Preferences& preferences,
               const std::shared_ptr<API>& api, const std::filesystem::path& root,
               std::stop_token stop);
  // Publishes how this pass ended; logs it when it differs from the last pass's ending.
  void publishPass(AgentState state, const std::string& message);
  void waitForEvent(API& api, std::stop_token stop);

  AgentParts parts_;
  AgentTiming timing_;
  // parts_.settings narrowed to the one question the downloader and the event wait ask.
  std::function<bool()> receiving_;
  StatusSink status_;
  RetryTable retries_;
  ReceiptStep receipts_;
  std::unique_ptr<AgentService> service_;
  std::int64_t cursor_ = 0;
  std::string lastPassLine_;
};

}  // namespace trellisant
