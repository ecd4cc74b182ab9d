#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include "control/agent_status.h"
#include "control/agent_timing.h"
#include "platform/login_item.h"
#include "api/sign_in.h"
#include "clock.h"
#include "platform/linger.h"

namespace trellisant::ctl {

// What the commands reach outside the core; main() fills it with the real things, tests with
// fakes.
struct Context {
  Context(std::ostream& out, std::ostream& err) : out(out), err(err) {}
  std::ostream& out;
  std::ostream& err;
  // Where the sign-in callback address is pasted.
  int input = 0;
  std::shared_ptr<LoginItem> loginItem;
  // Shows the authorization page; a failure is not an error (headless computers have none).
  std::function<void(const std::string& url)> openBrowser;
  // The agent's own status over its control socket; nothing when it does not answer.
  std::function<std::optional<AgentStatus>()> askAgent;
  std::chrono::steady_clock::duration signInLimit = CallbackWaiter::defaultLimit;
  std::function<std::string()> computerName = [] { return trellisant::computerName(); };
  // logind's lingering: whether it is on (nothing when logind does not answer), and turning it
  // on.
  std::function<std::optional<bool>()> lingering = [] { return Linger().enabled(); };
  std::function<void()> keepAfterLogout = [] { Linger().enable(); };
  // status --watch: its period, whether standard output is a terminal, and what ends it.
  std::chrono::milliseconds watchInterval = kStatusRefreshInterval;
  bool terminal = false;
  std::stop_token stop;
  // The transfer folders `verify` checks when given none: those of the received history.
  // Unset until that history exists, and `verify` then asks for a folder.
  std::function<std::vector<std::filesystem::path>()> receivedFolders;
};

// A command line this program does not understand (exit status 2, with the usage).
struct MisuseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs one command line (without the program name). Failures are printed to `err` as their
// user-facing sentence. Returns the exit status: 0 success, 1 failure, 2 misuse.
int run(const std::vector<std::string>& arguments, Context& context);

std::string usage();

// The commands; each throws its failure.
// With no option the status lines; "--watch" and "--json" as the usage says.
void status(Context& context, const std::vector<std::string>& options = {});
// One line, every context.watchInterval until context.stop: kept up to date on a
// terminal, written again only when it changes otherwise.
void watchStatus(Context& context);
void signIn(Context& context);
void signOut(Context& context);
void folder(Context& context, const std::string& path);
// With `linger`, also asks logind to keep receiving after the last session ends; without it,
// says how when lingering is off.
void enable(Context& context, bool linger = false);
void pause(Context& context);
void test(Context& context);
void server(Context& context, const std::optional<std::string>& address);
void bandwidth(Context& context, const std::string& mbps);
// "on" or "off", then optionally --from H and --until H.
void overnight(Context& context, const std::vector<std::string>& arguments);
void battery(Context& context, const std::string& onOrOff);
// [FOLDER] [--json]: every file read again against the folder's receipt (ASC MHL); fails unless
// all match.
void verify(Context& context, const std::vector<std::string>& arguments);

// The status the app would show: the agent's answer when its login item is enabled (else the
// status file), with the app's overrides.
AgentStatus shownStatus(Context& context);
// "state: message (transfer), N of M bytes (P%)".
std::string statusLine(const AgentStatus& status);
// "state: …", "message: …", "transfer: …", "progress: …" and "updated: …" lines.
std::string describeStatus(const AgentStatus& status, Date now = SystemClock::now());

}  // namespace trellisant::ctl
