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
#include "control/transfer_rate.h"
#include "history/received_history.h"
#include "platform/login_item.h"
#include "api/sign_in.h"
#include "clock.h"
#include "platform/linger.h"

namespace trellisant::ctl {

// What the commands reach outside the core; main() fills it with the real things, tests with
// fakes.
struct CtlParts {
  CtlParts(std::ostream& out, std::ostream& err) : out(out), err(err) {}
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
  // How long a single status watches a download for its speed: the smoothing period and two
  // of the agent's reports.
  std::chrono::milliseconds rateWait = RateEstimator::smoothing + 2 * kAgentTick + kStatusRefreshInterval;
  // The received deliveries, newest first, at most the number given.
  std::function<std::vector<ReceivedDelivery>(std::int64_t)> receivedHistory =
      [](std::int64_t limit) { return ReceivedHistory().recent(limit); };
  bool terminal = false;
  std::stop_token stop;
};

// A command line this program does not understand (exit status 2, with the usage).
struct MisuseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs one command line (without the program name). Failures are printed to `err` as their
// user-facing sentence. Returns the exit status: 0 success, 1 failure, 2 misuse.
int run(const std::vector<std::string>& arguments, CtlParts& parts);

// The commands; each throws its failure.
// With no option the status lines; "--watch" and "--json" as the usage says.
void status(CtlParts& parts, const std::vector<std::string>& options = {});
// One line, every parts.watchInterval until parts.stop: kept up to date on a
// terminal, written again only when it changes otherwise.
void watchStatus(CtlParts& parts);
// "--limit N" and "--json" as the usage says: a line per delivery, newest first.
void history(CtlParts& parts, const std::vector<std::string>& options);
// "when  name  company / project  N files  size  folder", `when` in this computer's time zone.
std::string historyLine(const ReceivedDelivery& delivery);
void signIn(CtlParts& parts);
void signOut(CtlParts& parts);
void folder(CtlParts& parts, const std::string& path);
// With `linger`, also asks logind to keep receiving after the last session ends; without it,
// says how when lingering is off.
void enable(CtlParts& parts, bool linger = false);
void pause(CtlParts& parts);
void test(CtlParts& parts);
void server(CtlParts& parts, const std::optional<std::string>& address);
void bandwidth(CtlParts& parts, const std::string& mbps);
// "on" or "off", then optionally --from H and --until H.
void overnight(CtlParts& parts, const std::vector<std::string>& arguments);
void battery(CtlParts& parts, const std::string& onOrOff);
// [FOLDER] [--json]: every file read again against the folder's receipt (ASC MHL); fails unless
// all match.
void verify(CtlParts& parts, const std::vector<std::string>& arguments);

// The status the app would show: the agent's answer when its login item is enabled (else the
// status file), with the app's overrides.
AgentStatus shownStatus(CtlParts& parts);
// The shown status and, while it is "downloading", its speed: watched until the records span
// the smoothing period (or the download stalls or ends), at most parts.rateWait.
std::pair<AgentStatus, RateEstimate> observedStatus(CtlParts& parts);
// "state: message (transfer), N of M bytes (P%)", then " · " and the speed when known.
std::string statusLine(const AgentStatus& status, const RateEstimate& rate = {});
// "state: …", "message: …", "transfer: …", "progress: …" (with the speed when known) and
// "updated: …" lines.
std::string describeStatus(const AgentStatus& status, Date now = SystemClock::now(),
                           const RateEstimate& rate = {});
// The status record with "bytesPerSecond" and "secondsLeft" when they are known.
Json statusJson(const AgentStatus& status, const RateEstimate& rate);

}  // namespace trellisant::ctl
