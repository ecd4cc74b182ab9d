#include "commands.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "api/api.h"
#include "error.h"
#include "settings/preferences.h"
#include "settings/readiness.h"
#include "settings/vault.h"

namespace trellisant::ctl {
namespace {

struct MisuseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool serviceReady(Context& context) {
  return context.loginItem->status() == LoginItemStatus::enabled;
}

std::string percent(std::int64_t bytes, std::int64_t total) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(bytes) / static_cast<double>(total));
  return text;
}

// The same folder as before: both present and equal once links are resolved.
bool sameFolder(const Preferences& preferences, const std::filesystem::path& chosen) {
  try {
    auto current = preferences.rootURL();
    return std::filesystem::weakly_canonical(current) == std::filesystem::weakly_canonical(chosen);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::string usage() {
  return "Usage: trellisantctl COMMAND\n"
         "\n"
         "Controls Trellisant on a computer without a desktop session.\n"
         "\n"
         "Commands:\n"
         "  status        Show what the receiving helper is doing, with the progress of the\n"
         "                current delivery in bytes, and where the sign-in is kept (the login\n"
         "                keyring, or a file where no keyring answers).\n"
         "  sign-in       Sign this computer in to your company's Trellisant server. Prints an\n"
         "                address to open in a browser (opened for you when a desktop is\n"
         "                available), then waits up to 5 minutes for you to paste the\n"
         "                trellisant://oauth/callback address the browser was sent to.\n"
         "  sign-out      Turn receiving off, stop the receiving helper and revoke this computer\n"
         "                on the server.\n"
         "  folder PATH   Use PATH as the download folder. Choosing another folder turns\n"
         "                receiving off and stops the receiving helper.\n"
         "  enable        Turn receiving on and start the receiving helper at login (a systemd\n"
         "                user service, or an autostart entry without systemd).\n"
         "  pause         Turn receiving off; the helper keeps running and pauses.\n"
         "  test          Check sign-in, the download folder and the connection to the server.\n"
         "  server [URL]  Show the server address, or set it to URL (https, or http to\n"
         "                localhost for development).\n"
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
      {"status", noArgument(&status)},
      {"sign-in", noArgument(&signIn)},
      {"sign-out", noArgument(&signOut)},
      {"enable", noArgument(&enable)},
      {"pause", noArgument(&pause)},
      {"test", noArgument(&test)},
      {"folder",
       [&](const std::vector<std::string>& rest) {
         if (rest.size() != 1) throw MisuseError("Name the download folder: trellisantctl folder PATH");
         folder(context, rest[0]);
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

AgentStatus shownStatus(Context& context) {
  Preferences preferences = Preferences::load();
  bool ready = serviceReady(context);
  std::optional<AgentStatus> status;
  if (ready) status = context.askAgent();
  return applyStatusOverrides(status.value_or(AgentStatus::load()), preferences, ready);
}

std::string describeStatus(const AgentStatus& status, Date now) {
  std::string text = "state: " + status.state + "\nmessage: " + status.message +
                     "\ntransfer: " + status.transfer + "\nprogress: " +
                     std::to_string(status.bytes) + " of " + std::to_string(status.total) + " bytes";
  if (status.total > 0) text += " (" + percent(status.bytes, status.total) + ")";
  auto age = std::llround(Seconds(now - status.updatedAt).count());
  return text + "\nupdated: " + std::to_string(age) + " seconds ago\n";
}

void status(Context& context) {
  context.out << describeStatus(shownStatus(context)) << "sign-in: " << Vault::location() << "\n";
}

void folder(Context& context, const std::string& path) {
  auto chosen = std::filesystem::absolute(path);
  Preferences preferences = Preferences::load();
  Preferences next = preferences;
  next.setDestination(chosen);
  bool unchanged = sameFolder(preferences, chosen);
  if (!unchanged) {
    Preferences current = preferences;
    current.receiving = false;
    current.save(Preferences::file());
    if (context.loginItem->status() != LoginItemStatus::notRegistered) context.loginItem->unregisterItem();
    next.receiving = false;
  }
  next.save(Preferences::file());
  context.out << (unchanged ? "Download folder checked and saved."
                            : "Folder saved. Enable receiving when you are ready. Existing files "
                              "stay in their original folder.")
              << "\n";
}

void enable(Context& context) {
  Preferences preferences = Preferences::load();
  if (!hasDeviceSignIn(preferences)) throw TrellisantError("Sign in before enabling receiving.");
  if (!preferences.destination)
    throw TrellisantError("Choose a download folder first: trellisantctl folder PATH");
  try {
    context.loginItem->registerItem();
  } catch (const std::exception& error) {
    throw TrellisantError("Background access needs attention. " + userMessage(error));
  }
  preferences.receiving = true;
  preferences.save(Preferences::file());
  context.out << "Receiving is on.\n";
}

void pause(Context& context) {
  Preferences preferences = Preferences::load();
  preferences.receiving = false;
  preferences.save(Preferences::file());
  context.out << "Receiving is paused.\n";
}

void test(Context& context) {
  Preferences preferences = Preferences::load();
  bool ready = serviceReady(context);
  testReadiness(preferences, hasDeviceSignIn(preferences), ready,
                [&] { return shownStatus(context); });
  context.out << readinessPassed(AgentStatus::fallback()).message << "\n";
}

void server(Context& context, const std::optional<std::string>& address) {
  Preferences preferences = Preferences::load();
  if (address) {
    API validated(*address);  // throws the address message
    preferences.server = *address;
    preferences.save(Preferences::file());
  }
  context.out << preferences.server << "\n";
}

}  // namespace trellisant::ctl
