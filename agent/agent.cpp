#include "agent.h"

#include <unistd.h>

#include <random>

#include "control/agent_service.h"
#include "control/agent_status.h"
#include "api/resources.h"
#include "delivery_pass.h"
#include "download/free_space.h"
#include "download/journal.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "text.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

constexpr const char* kSignIn = "Sign in to Trellisant to receive footage.";
constexpr const char* kConnectDisk = "Connect your download disk to receive footage.";
constexpr const char* kConnectPower = "Connect power to receive footage.";
constexpr const char* kReadyOvernight = "Ready for overnight footage. Your display can sleep.";
constexpr const char* kReady = "Ready to receive your company’s footage.";

double uniformJitter() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 3.0)(engine);
}

AgentParts withDefaults(AgentParts parts) {
  if (!parts.power) parts.power = std::make_shared<PowerPolicy>();
  if (!parts.notifier) parts.notifier = std::make_shared<DesktopNotifier>();
  if (!parts.freeSpace) parts.freeSpace = availableBytes;
  if (!parts.makeAPI)
    parts.makeAPI = [](const std::string& server) { return std::make_shared<API>(server); };
  if (!parts.settings) parts.settings = [] { return Preferences::load(); };
  if (!parts.jitter) parts.jitter = uniformJitter;
  if (!parts.now) parts.now = [] { return SystemClock::now(); };
  if (!parts.log) parts.log = [](std::string_view line) { writeLogLine(kAgentProgram, line); };
  return parts;
}

// A stop of the agent itself, as opposed to a cancellation that is a failure of the pass.
bool stopping(const std::stop_token& stop) { return stop.stop_requested(); }

}  // namespace

Agent::Agent(AgentParts parts, AgentTiming timing)
    : parts_(withDefaults(std::move(parts))),
      timing_(timing),
      receiving_([settings = parts_.settings] { return settings().receiving; }),
      retries_(parts_.now, parts_.jitter),
      receipts_(parts_.log) {
  Vault::disablePrompts();
  if (parts_.controlService) service_ = std::make_unique<AgentService>();
}

Agent::~Agent() = default;

void Agent::main(std::stop_token stop) {
  std::string version(AppConfiguration::version());
  parts_.log("started (version " + version + ")");
  while (!stop.stop_requested()) runPass(stop);
  parts_.log("stopped (version " + version + ")");
}

void Agent::publishPass(AgentState state, const std::string& message) {
  status_.publish(state, message);
  std::string line = std::string(toString(state)) + ": " + message;
  if (line == lastPassLine_) return;
  lastPassLine_ = line;
  parts_.log(line);
}

void Agent::waitForEvent(API& api, std::stop_token stop) {
  auto started = std::chrono::steady_clock::now();
  bool advanced = false;
  try {
    std::int64_t next = api.waitForEvent(cursor_, stop, receiving_);
    advanced = next > cursor_;
    cursor_ = next;
  } catch (...) {
    if (stopping(stop)) return;
  }
  if (!advanced && std::chrono::steady_clock::now() - started < timing_.quickWait)
    sleepFor(timing_.quickWait, stop);
}

void Agent::runPass(std::stop_token stop) {
  try {
    Preferences preferences = parts_.settings();
    parts_.power->update(preferences, false);
    std::shared_ptr<API> api = parts_.makeAPI(preferences.server);

    auto credentials = Vault::read();
    if (!credentials || !credentials->matches(preferences.server)) {
      publishPass(AgentState::setup, kSignIn);
      sleepOrCancel(timing_.betweenPasses, stop);
      return;
    }
    if (!preferences.receiving) {
      publishPass(AgentState::paused, std::string(AgentStatus::pausedMessage));
      Resources::heartbeat(*api, Readiness::paused, preferences.destinationLabel, stop);
      sleepOrCancel(timing_.betweenPasses, stop);
      return;
    }
    std::filesystem::path root = preferences.rootPath();
    if (::access(root.c_str(), W_OK) != 0) throw TrellisantError(kConnectDisk);
    if (!parts_.power->onPower() && !preferences.allowBattery) {
      publishPass(AgentState::paused, kConnectPower);
      Resources::heartbeat(*api, Readiness::paused, preferences.destinationLabel, stop);
      sleepOrCancel(timing_.betweenPasses, stop);
      return;
    }
    Resources::heartbeat(*api, Readiness::ready, preferences.destinationLabel, stop);
    auto deliveries = Resources::deliveries(*api, stop).deliveries;
    // A receipt a crash or power cut kept from a delivery the server no longer lists.
    receipts_.catchUp(deliveries, root, [&](const Delivery& delivery, const std::exception_ptr& error) {
      reportNeedsAttention(*api, status_, parts_.log, delivery, 0, error, "", stop);
    });
    if (deliveries.empty()) {
      std::unique_ptr<Journal> journal;
      ReceivedHistory history;
      finishInterruptedRecords(
          history,
          [&]() -> Journal& {
            if (!journal) journal = std::make_unique<Journal>(Paths::journalFile());
            return *journal;
          },
          deliveries, parts_.log);
      bool overnight = preferences.overnight && preferences.inWindow(SystemClock::now());
      publishPass(AgentState::ready, overnight ? kReadyOvernight : kReady);
      waitForEvent(*api, stop);
      return;
    }
    receive(deliveries, preferences, api, root, stop);
    sleepFor(timing_.betweenPasses, stop);
  } catch (...) {
    // Being stopped is not a failure to report; the last status stays as it was.
    if (stopping(stop)) return;
    publishPass(AgentState::needsAttention, userMessage(std::current_exception()));
    sleepFor(timing_.betweenPasses, stop);
  }
}

void Agent::receive(const std::vector<Delivery>& deliveries, const Preferences& preferences,
                    const std::shared_ptr<API>& api, const std::filesystem::path& root,
                    std::stop_token stop) {
  // Made for each delivery pass and released at its end; a journal that cannot be opened fails
  // the pass.
  auto journal = std::make_shared<Journal>(Paths::journalFile());
  Downloader downloader(api, journal, receiving_, parts_.freeSpace, Downloader::Tuning(), receipts_.tap());
  ReceivedHistory history;
  DeliveryPass pass({*api, *journal, downloader, history, status_, retries_, parts_.settings,
                     *parts_.power, *parts_.notifier, parts_.freeSpace, parts_.log, timing_.tick, receipts_},
                    preferences, root, stop);
  pass.run(deliveries);
}

}  // namespace trellisant
