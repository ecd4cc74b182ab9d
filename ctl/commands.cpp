#include "commands.h"

#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "api/api.h"
#include "command_table.h"
#include "control/receiving_control.h"
#include "error.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "control/readiness.h"
#include "settings/vault.h"
#include "text.h"

namespace trellisant::ctl {
namespace {

ReceivingControl control(CtlParts& parts) { return ReceivingControl(parts.loginItem); }

// " · 24.1 MB/s · about 6 s left" when the speed is known.
std::string withRate(const RateEstimate& rate) {
  std::string summary = rateSummary(rate);
  return summary.empty() ? "" : " · " + summary;
}

// Sleeps one watch interval; false once the command is told to stop.
bool nextSample(CtlParts& parts) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, parts.stop, parts.watchInterval, [] { return false; });
  return !parts.stop.stop_requested();
}

std::string percent(std::int64_t bytes, std::int64_t total) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(bytes) / static_cast<double>(total));
  return text;
}

}  // namespace

int run(const std::vector<std::string>& arguments, CtlParts& parts) {
  if (arguments.empty() || arguments[0] == "-h" || arguments[0] == "help") {
    (arguments.empty() ? parts.err : parts.out) << usage();
    return arguments.empty() ? 2 : 0;
  }
  try {
    const Command* command = findCommand(arguments[0]);
    if (command == nullptr) throw MisuseError("Unknown command: " + arguments[0]);
    command->run(parts, {arguments.begin() + 1, arguments.end()});
    return 0;
  } catch (const MisuseError& error) {
    parts.err << error.what() << "\n\n" << usage();
    return 2;
  } catch (const std::exception& error) {
    parts.err << userMessage(error) << "\n";
    return 1;
  }
}

AgentStatus shownStatus(CtlParts& parts) { return control(parts).shownStatus(parts.askAgent); }

std::pair<AgentStatus, RateEstimate> observedStatus(CtlParts& parts) {
  RateEstimator estimator;
  AgentStatus status = shownStatus(parts);
  RateEstimate rate = estimator.add(status);
  const auto until = std::chrono::steady_clock::now() + parts.rateWait;
  while (status.is(AgentState::downloading) && !rate.stalled && !(rate.bytesPerSecond && estimator.smoothed()) &&
         std::chrono::steady_clock::now() < until && nextSample(parts)) {
    status = shownStatus(parts);
    rate = estimator.add(status);
  }
  return {status, rate};
}

std::string describeStatus(const AgentStatus& status, Date now, const RateEstimate& rate) {
  std::string text = "state: " + status.stateWord() + "\nmessage: " + status.message +
                     "\ntransfer: " + status.transfer + "\nprogress: " +
                     std::to_string(status.bytes) + " of " + std::to_string(status.total) + " bytes";
  if (status.total > 0) text += " (" + percent(status.bytes, status.total) + ")";
  text += withRate(rate);
  auto age = std::llround(Seconds(now - status.updatedAt).count());
  return text + "\nupdated: " + std::to_string(age) + " seconds ago\n";
}

std::string statusLine(const AgentStatus& status, const RateEstimate& rate) {
  std::string line = status.stateWord() + ": " + status.message;
  if (!status.transfer.empty()) line += " (" + status.transfer + ")";
  if (status.total > 0)
    line += ", " + std::to_string(status.bytes) + " of " + std::to_string(status.total) + " bytes (" +
            percent(status.bytes, status.total) + ")";
  return line + withRate(rate);
}

Json statusJson(const AgentStatus& status, const RateEstimate& rate) {
  Json json = status.toJson();
  if (rate.bytesPerSecond) json["bytesPerSecond"] = *rate.bytesPerSecond;
  if (rate.secondsLeft) json["secondsLeft"] = *rate.secondsLeft;
  return json;
}

void status(CtlParts& parts, const std::vector<std::string>& options) {
  if (options.size() == 1 && options[0] == "--watch") return watchStatus(parts);
  if (options.size() > 1 || (options.size() == 1 && options[0] != "--json"))
    throw MisuseError("status takes --watch or --json.");
  auto [shown, rate] = observedStatus(parts);
  if (options.empty())
    parts.out << describeStatus(shown, SystemClock::now(), rate) << "sign-in: " << Vault::location() << "\n";
  else
    parts.out << statusJson(shown, rate).dump() << "\n";
}

void watchStatus(CtlParts& parts) {
  RateEstimator estimator;
  std::string last;
  do {
    AgentStatus shown = shownStatus(parts);
    std::string line = statusLine(shown, estimator.add(shown));
    // A terminal keeps one line up to date; a log or a pipe gets a line per change.
    if (parts.terminal) parts.out << "\r\033[K" << line << std::flush;
    else if (line != last) parts.out << line << "\n" << std::flush;
    last = line;
  } while (nextSample(parts));
  if (parts.terminal) parts.out << "\n";
}

std::string historyLine(const ReceivedDelivery& delivery) {
  std::time_t when = SystemClock::to_time_t(delivery.completedAt);
  std::tm local{};
  char stamp[32] = "";
  if (localtime_r(&when, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &local);
  const std::string_view mark = receiptMark(delivery.receipt);
  return std::string(stamp) + "  " + delivery.name + "  " + delivery.company + " / " + delivery.project + "  " +
         std::to_string(delivery.files) + (delivery.files == 1 ? " file  " : " files  ") +
         sizeText(delivery.bytes) + (mark.empty() ? "" : "  " + std::string(mark)) + "  " + delivery.folder.string();
}

void history(CtlParts& parts, const std::vector<std::string>& options) {
  std::int64_t limit = ReceivedHistory::kept;
  bool json = false;
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (options[i] == "--json") {
      json = true;
    } else if (options[i] == "--limit" && i + 1 < options.size()) {
      auto number = parseInt64(options[++i]);
      if (!number || *number < 1) throw MisuseError("--limit takes a number of deliveries, 1 or more.");
      limit = *number;
    } else {
      throw MisuseError("history takes --limit N and --json.");
    }
  }
  std::vector<ReceivedDelivery> list = parts.receivedHistory(limit);
  if (json) {
    Json array = Json::array();
    for (const auto& delivery : list) array.push_back(delivery.toJson());
    parts.out << array.dump() << "\n";
    return;
  }
  for (const auto& delivery : list) parts.out << historyLine(delivery) << "\n";
}

void folder(CtlParts& parts, const std::string& path) {
  parts.out << control(parts).chooseFolder(std::filesystem::absolute(path)) << "\n";
}

void enable(CtlParts& parts, bool linger) {
  try {
    control(parts).enable();
  } catch (const FolderMissing&) {
    throw TrellisantError("Choose a download folder first: trellisantctl folder PATH");
  }
  parts.out << ReceivingControl::receivingOnNotice << "\n";
  // Over SSH the user's service manager, and the agent with it, ends with the last session.
  if (parts.lingering() != false) return;
  if (!linger) {
    parts.out << "Receiving stops when your last session on this computer ends. To keep receiving "
                   "after you log out, run: trellisantctl enable --linger\n";
    return;
  }
  try {
    parts.keepAfterLogout();
  } catch (const std::exception& error) {
    throw PlatformError("Receiving is on, but could not continue after logout: " + userMessage(error));
  }
  parts.out << "Receiving continues after you log out.\n";
}

void pause(CtlParts& parts) {
  ReceivingControl::pause();
  parts.out << AgentStatus::pausedMessage << "\n";
}

void test(CtlParts& parts) {
  control(parts).testReadiness([&] { return shownStatus(parts); });
  parts.out << readinessPassed(AgentStatus::fallback()).message << "\n";
}

void server(CtlParts& parts, const std::optional<std::string>& address) {
  if (!address) {
    parts.out << Preferences::load().server << "\n";
    return;
  }
  API validated(*address);  // throws the address message
  if (Preferences::isLoopbackServer(*address))
    throw TrellisantError("A server on this computer is reset the next time the settings are read, "
                          "so trellisantctl cannot keep it. Use it from the app while developing.");
  parts.out << ReceivingControl::edit([&](Preferences& p) { p.server = *address; }).server << "\n";
}

}  // namespace trellisant::ctl
