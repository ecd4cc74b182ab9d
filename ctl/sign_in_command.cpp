#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "api/sign_in.h"
#include "commands.h"
#include "control/receiving_control.h"
#include "error.h"
#include "settings/preferences.h"
#include "text.h"

namespace trellisant::ctl {
namespace {

// Hands every pasted line to the waiter until one is accepted; the end of the input cancels
// the sign-in. Polls so that a stop request ends it promptly.
void readCallbacks(int fd, CallbackWaiter& waiter, std::ostream& err, std::stop_token stop) {
  std::string pending;
  char buffer[4096];
  while (!stop.stop_requested() && waiter.waiting()) {
    pollfd ready{fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, 100);
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) continue;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
      std::string line(trimmed(std::string_view(pending).substr(0, newline)));
      pending.erase(0, newline + 1);
      if (line.empty()) continue;
      auto url = Url::parse(line);
      if (url && waiter.deliver(*url)) return;
      err << "That is not the address this sign in waits for. Paste the address that starts "
             "with trellisant://oauth/callback.\n";
    }
  }
  if (!stop.stop_requested()) waiter.cancel();
}

}  // namespace

void signIn(CtlParts& parts) {
  Preferences preferences = Preferences::load();
  auto pending = SignInFlow::begin(preferences);
  parts.out << "Open this address in a web browser and sign in:\n\n  " << pending.authorizationURL
              << "\n\nYour browser is then sent to an address that starts with "
                 "trellisant://oauth/callback.\nPaste that address here and press Enter:\n"
              << std::flush;
  try {
    parts.openBrowser(pending.authorizationURL);
  } catch (const std::exception&) {
    // Without a browser on this computer the address is opened elsewhere and pasted back.
  }
  CallbackWaiter waiter(pending.state);
  Url callback;
  {
    std::jthread reader([&](std::stop_token stop) { readCallbacks(parts.input, waiter, parts.err, stop); });
    callback = waiter.wait(parts.signInLimit);
  }
  std::string name = parts.computerName();
  // Only the sign-in is stored: settings changed while it waited stay as they are.
  SignInFlow::finish(pending, callback, name);
  parts.out << "Signed in. This computer is enrolled as \"" << name << "\".\n";
}

void signOut(CtlParts& parts) {
  std::exception_ptr stopFailure = ReceivingControl(parts.loginItem).signOut();
  parts.out << "Signed out.\n";
  if (stopFailure) throw PlatformError(userMessage(stopFailure));
}

}  // namespace trellisant::ctl
