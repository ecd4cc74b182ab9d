#include "agent.h"

#include <unistd.h>

#include <random>

#include "control/agent_service.h"
#include "control/agent_status.h"
#include "api/resources.h"
#include "delivery_pass.h"
#include "download/free_space.h"
#include "fileio.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "text.h"

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

// A stop of the agent itself, as opposed to a cancellation that is a failure of the pass.
bool stopping(const std::stop_token& stop) { return stop.stop_requested(); }

}  // namespace

Agent::Agent(AgentParts parts, AgentTiming timing) : parts_(std::move(parts)), timing_(timing) {
  Vault::disablePrompts();
  if (!parts_.power) parts_.power = std::make_shared<PowerPolicy>();
  if (!parts_.notifier) parts_.notifier = std::make_shared<DesktopNotifier>();
  if (!parts_.freeSpace) parts_.freeSpace = availableBytes;
  if (!parts_.makeAPI) parts_.makeAPI = [](const std::string& server) { return std::make_shared<API>(server); };
  if (!parts_.jitter) parts_.jitter = uniformJitter;
  if (!parts_.now) parts_.now = [] { return SystemClock::now(); };
  if (!parts_.log) parts_.log = [](std::string_view line) { writeLogLine(kAgentProgram, line); };
  if (!parts_.makeDownloader) {
    parts_.makeDownloader = [freeSpace = parts_.freeSpace](std::shared_ptr<API> api,
                                                           std::shared_ptr<Journal> journal) {
      return std::make_shared<Downloader>(std::move(api), std::move(journal), freeSpace);
    };
  }
  if (parts_.controlService) service_ = std::make_unique<AgentService>();
  cursor_ = 0;
}

Agent::~Agent() = default;

void Agent::publish(AgentState state, const std::string& message, const Delivery* delivery,
                    std::int64_t bytes) {
  AgentStatus status;
  status.state = state;
  status.message = message;
  status.transfer = delivery != nullptr ? delivery->name : "";
  status.bytes = bytes;
  status.total = delivery != nullptr ? parseInt64(delivery->totalBytes).value_or(0) : 0;
  status.updatedAt = SystemClock::now();
  status.save();
}

void Agent::republish() {
  try {
    auto text = readFile(AgentStatus::file());
    auto status = text ? decodeAgentStatus(*text) : std::nullopt;
    if (!status) return;
    status->updatedAt = SystemClock::now();
    status->save();
  } catch (...) {
    // As with publish: a lost write is made good by the next pass.
  }
}

void Agent::main(std::stop_token stop) {
  std::string version(AppConfiguration::version());
  parts_.log("started (version " + version + ")");
  while (!stop.stop_requested()) runPass(stop);
  parts_.log("stopped (version " + version + ")");
}

void Agent::publishPass(AgentState state, const std::string& message) {
  publish(state, message, nullptr, 0);
  std::string line = std::string(toString(state)) + ": " + message;
  if (line == lastPassLine_) return;
  lastPassLine_ = line;
  parts_.log(line);
}

void Agent::waitForEvent(API& api, std::stop_token stop) {
  auto started = std::chrono::steady_clock::now();
  bool advanced = false;
  try {
    std::int64_t next = api.waitForEvent(cursor_, stop);
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
    Preferences preferences = Preferences::load();
    parts_.power->update(preferences, false);
    std::shared_ptr<API> api = parts_.makeAPI(preferences.server);

    auto credentials = Vault::read();
    if (!credentials || !credentials->matches(preferences.server)) {
      publishPass(AgentState::setup, kSignIn);
      pause(timing_.pause, stop);
      return;
    }
    if (!preferences.receiving) {
      publishPass(AgentState::paused, std::string(AgentStatus::pausedMessage));
      Resources::heartbeat(*api, Readiness::paused, preferences.destinationLabel, stop);
      pause(timing_.pause, stop);
      return;
    }
    std::filesystem::path root = preferences.rootURL();
    if (::access(root.c_str(), W_OK) != 0) throw TrellisantError(kConnectDisk);
    if (!parts_.power->onPower() && !preferences.allowBattery) {
      publishPass(AgentState::paused, kConnectPower);
      Resources::heartbeat(*api, Readiness::paused, preferences.destinationLabel, stop);
      pause(timing_.pause, stop);
      return;
    }
    Resources::heartbeat(*api, Readiness::ready, preferences.destinationLabel, stop);
    auto deliveries = Resources::deliveries(*api, stop).deliveries;
    if (deliveries.empty()) {
      bool overnight = preferences.overnight && preferences.inWindow(SystemClock::now());
      publishPass(AgentState::ready, overnight ? kReadyOvernight : kReady);
      waitForEvent(*api, stop);
      return;
    }
    receive(deliveries, preferences, api, root, stop);
    sleepFor(timing_.pause, stop);
  } catch (...) {
    // Being stopped is not a failure to report; the last status stays as it was.
    if (stopping(stop)) return;
    publishPass(AgentState::needsAttention, userMessage(std::current_exception()));
    sleepFor(timing_.pause, stop);
  }
}

void Agent::receive(const std::vector<Delivery>& deliveries, const Preferences& preferences,
                    const std::shared_ptr<API>& api, const std::filesystem::path& root,
                    std::stop_token stop) {
  DeliveryPass pass(DeliveryPass::Context{api, root, preferences, parts_, timing_, retries_}, stop);
  pass.run(deliveries);
}

}  // namespace trellisant
