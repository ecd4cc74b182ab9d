#include "commands.h"

#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>

#include "api/api.h"
#include "control/receiving_control.h"
#include "error.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "control/readiness.h"
#include "settings/vault.h"

namespace trellisant::ctl {
namespace {

ReceivingControl control(Context& context) { return ReceivingControl(context.loginItem); }

std::string percent(std::int64_t bytes, std::int64_t total) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(bytes) / static_cast<double>(total));
  return text;
}

}  // namespace

std::string usage() {
  return "Usage: trellisantctl COMMAND\n"
         "\n"
         "Controls Trellisant on a computer without a desktop session.\n"
         "\n"
         "Commands:\n"
         "  status [--watch|--json]\n"
         "                Show what the receiving helper is doing, with the progress of the\n"
         "                current delivery in bytes, and where the sign-in is kept (the login\n"
         "                keyring, or a file where no keyring answers). --watch shows it again\n"
         "                every 2 seconds until interrupted; --json prints the status record.\n"
         "  sign-in       Sign this computer in to your company's Trellisant server. Prints an\n"
         "                address to open in a browser (opened for you when a desktop is\n"
         "                available), then waits up to 5 minutes for you to paste the\n"
         "                trellisant://oauth/callback address the browser was sent to.\n"
         "  sign-out      Turn receiving off, stop the receiving helper and revoke this computer\n"
         "                on the server.\n"
         "  folder PATH   Use PATH as the download folder. Choosing another folder turns\n"
         "                receiving off and stops the receiving helper.\n"
         "  enable [--linger]\n"
         "                Turn receiving on and start the receiving helper at login (a systemd\n"
         "                user service, or an autostart entry without systemd). --linger keeps\n"
         "                it receiving after you log out (logind's lingering).\n"
         "  pause         Turn receiving off; the helper keeps running and pauses.\n"
         "  test          Check sign-in, the download folder and the connection to the server.\n"
         "  server [URL]  Show the server address, or set it to URL (https).\n"
         "  bandwidth MBPS\n"
         "                Limit downloads to MBPS megabits per second; 0 for no limit.\n"
         "  overnight on|off [--from H --until H]\n"
         "                Keep this computer available overnight, from hour H until hour H\n"
         "                (0 to 23, in this computer's time zone).\n"
         "  battery on|off\n"
         "                Let downloads run on battery power, or wait for power.\n"
         "  verify FOLDER [--json]\n"
         "                Read every file of a received transfer folder again and compare it\n"
         "                with the newest generation of its receipt (ascmhl/, the ASC MHL media\n"
         "                hash list): one line per missing, changed or unexpected file, then a\n"
         "                summary; exits 0 only when everything matches. Never writes there.\n"
         "  --version     Show the version.\n"
         "  --help        Show this help.\n"
         "\n"
         "Failures are printed on standard error; the exit status is then 1 (2 for a\n"
         "command line this program does not understand).\n";
}

int run(const std::vector<std::string>& arguments, Context& context) {
  using Command = std::function<void(const std::vector<std::string>&)>;
  auto noArgument = [&](void (*command)(Context&)) -> Command {
    return [&context, command](const std::vector<std::string>& rest) {
      if (!rest.empty()) throw MisuseError("This command takes no argument.");
      command(context);
    };
  };
  const std::map<std::string, Command> commands = {
      {"status", [&](const std::vector<std::string>& rest) { status(context, rest); }},
      {"sign-in", noArgument(&signIn)},
      {"sign-out", noArgument(&signOut)},
      {"enable",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() > 1 || (rest.size() == 1 && rest[0] != "--linger"))
           throw MisuseError("enable takes only --linger.");
         enable(context, rest.size() == 1);
       }},
      {"pause", noArgument(&pause)},
      {"test", noArgument(&test)},
      {"folder",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() != 1) throw MisuseError("Name the download folder: trellisantctl folder PATH");
         folder(context, rest[0]);
       }},
      {"bandwidth",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() != 1) throw MisuseError("Give the limit: trellisantctl bandwidth MBPS");
         bandwidth(context, rest[0]);
       }},
      {"overnight", [&](const std::vector<std::string>& rest) { overnight(context, rest); }},
      {"verify", [&](const std::vector<std::string>& rest) { verify(context, rest); }},
      {"battery",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() != 1) throw MisuseError("Say on or off: trellisantctl battery on|off");
         battery(context, rest[0]);
       }},
      {"server",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() > 1) throw MisuseError("Give at most one server address.");
         server(context, rest.empty() ? std::nullopt : std::optional(rest[0]));
       }},
  };
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
    (arguments.empty() ? context.err : context.out) << usage();
    return arguments.empty() ? 2 : 0;
  }
  if (arguments[0] == "--version") {
    context.out << "trellisantctl " << AppConfiguration::version() << "\n";
    return 0;
  }
  auto found = commands.find(arguments[0]);
  try {
    if (found == commands.end()) throw MisuseError("Unknown command: " + arguments[0]);
    found->second({arguments.begin() + 1, arguments.end()});
    return 0;
  } catch (const MisuseError& error) {
    context.err << error.what() << "\n\n" << usage();
    return 2;
  } catch (const std::exception& error) {
    context.err << userMessage(error) << "\n";
    return 1;
  }
}

AgentStatus shownStatus(Context& context) { return control(context).shownStatus(context.askAgent); }

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

void status(Context& context, const std::vector<std::string>& options) {
  if (options.empty()) {
    context.out << describeStatus(shownStatus(context)) << "sign-in: " << Vault::location() << "\n";
  } else if (options.size() == 1 && options[0] == "--json") {
    context.out << shownStatus(context).toJson().dump() << "\n";
  } else if (options.size() == 1 && options[0] == "--watch") {
    watchStatus(context);
  } else {
    throw MisuseError("status takes --watch or --json.");
  }
}

void watchStatus(Context& context) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::string last;
  while (!context.stop.stop_requested()) {
    std::string line = statusLine(shownStatus(context));
    // A terminal keeps one line up to date; a log or a pipe gets a line per change.
    if (context.terminal) context.out << "\r\033[K" << line << std::flush;
    else if (line != last) context.out << line << "\n" << std::flush;
    last = line;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, context.stop, context.watchInterval, [] { return false; });
  }
  if (context.terminal) context.out << "\n";
}

void folder(Context& context, const std::string& path) {
  context.out << control(context).chooseFolder(std::filesystem::absolute(path)) << "\n";
}

void enable(Context& context, bool linger) {
  try {
    control(context).enable();
  } catch (const FolderMissing&) {
    throw TrellisantError("Choose a download folder first: trellisantctl folder PATH");
  }
  context.out << ReceivingControl::receivingOnNotice << "\n";
  // Over SSH the user's service manager, and the agent with it, ends with the last session.
  if (context.lingering() != false) return;
  if (!linger) {
    context.out << "Receiving stops when your last session on this computer ends. To keep receiving "
                   "after you log out, run: trellisantctl enable --linger\n";
    return;
  }
  try {
    context.keepAfterLogout();
  } catch (const std::exception& error) {
    throw PlatformError("Receiving is on, but could not continue after logout: " + userMessage(error));
  }
  context.out << "Receiving continues after you log out.\n";
}

void pause(Context& context) {
  ReceivingControl::pause();
  context.out << AgentStatus::pausedMessage << "\n";
}

void test(Context& context) {
  control(context).testReadiness([&] { return shownStatus(context); });
  context.out << readinessPassed(AgentStatus::fallback()).message << "\n";
}

void server(Context& context, const std::optional<std::string>& address) {
  if (!address) {
    context.out << Preferences::load().server << "\n";
    return;
  }
  API validated(*address);  // throws the address message
  if (Preferences::isLoopbackServer(*address))
    throw TrellisantError("A server on this computer is reset the next time the settings are read, "
                          "so trellisantctl cannot keep it. Use it from the app while developing.");
  context.out << ReceivingControl::edit([&](Preferences& p) { p.server = *address; }).server << "\n";
}

}  // namespace trellisant::ctl
