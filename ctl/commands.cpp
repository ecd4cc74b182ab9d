#include "commands.h"

#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <mutex>

#include "api/api.h"
#include "command_table.h"
#include "control/receiving_control.h"
#include "error.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "control/readiness.h"
#include "settings/vault.h"

namespace trellisant::ctl {
namespace {

ReceivingControl control(CtlParts& parts) { return ReceivingControl(parts.loginItem); }

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

std::string describeStatus(const AgentStatus& status, Date now) {
  std::string text = "state: " + status.stateWord() + "\nmessage: " + status.message +
                     "\ntransfer: " + status.transfer + "\nprogress: " +
                     std::to_string(status.bytes) + " of " + std::to_string(status.total) + " bytes";
  if (status.total > 0) text += " (" + percent(status.bytes, status.total) + ")";
  auto age = std::llround(Seconds(now - status.updatedAt).count());
  return text + "\nupdated: " + std::to_string(age) + " seconds ago\n";
}

std::string statusLine(const AgentStatus& status) {
  std::string line = status.stateWord() + ": " + status.message;
  if (!status.transfer.empty()) line += " (" + status.transfer + ")";
  if (status.total > 0)
    line += ", " + std::to_string(status.bytes) + " of " + std::to_string(status.total) + " bytes (" +
            percent(status.bytes, status.total) + ")";
  return line;
}

void status(CtlParts& parts, const std::vector<std::string>& options) {
  if (options.empty()) {
    parts.out << describeStatus(shownStatus(parts)) << "sign-in: " << Vault::location() << "\n";
  } else if (options.size() == 1 && options[0] == "--json") {
    parts.out << shownStatus(parts).toJson().dump() << "\n";
  } else if (options.size() == 1 && options[0] == "--watch") {
    watchStatus(parts);
  } else {
    throw MisuseError("status takes --watch or --json.");
  }
}

void watchStatus(CtlParts& parts) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::string last;
  while (!parts.stop.stop_requested()) {
    std::string line = statusLine(shownStatus(parts));
    // A terminal keeps one line up to date; a log or a pipe gets a line per change.
    if (parts.terminal) parts.out << "\r\033[K" << line << std::flush;
    else if (line != last) parts.out << line << "\n" << std::flush;
    last = line;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, parts.stop, parts.watchInterval, [] { return false; });
  }
  if (parts.terminal) parts.out << "\n";
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
