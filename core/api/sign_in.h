#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "url.h"
#include "settings/computer_name.h"
#include "settings/preferences.h"

namespace trellisant {

// Raised by whoever opens the browser when it cannot.
inline constexpr std::string_view kBrowserFailedMessage =
    "Could not open your browser. Check your default browser and try again.";

// Where the browser returns to at the end of a sign-in; the server checks it too.
inline constexpr std::string_view kRedirectURI = "trellisant://oauth/callback";

// Whether `url` is the sign-in callback for the sign-in with `state`: the scheme, host and path
// of kRedirectURI, and the first "state" value equal to `state` (both absent count as equal).
bool acceptsCallback(const Url& url, const std::optional<std::string>& state);

// Whether this computer holds enrolled credentials for the configured server. Never throws.
bool hasDeviceSignIn(const Preferences& preferences);

// The browser half of the OAuth 2.0 authorization code flow with PKCE, followed by device
// enrollment. Free of any user interface: the caller opens the URL, waits for the callback
// (see CallbackWaiter) and shows the failures' messages.
class SignInFlow {
 public:
  // What the callback needs: made by begin, consumed by finish.
  struct Pending {
    std::string server;  // the validated server address
    std::string clientId;
    std::string tokenEndpoint;
    std::string authorizationURL;  // to open in the browser
    std::string state;
    std::string codeVerifier;
  };

  // Discovers the server's sign-in configuration, checks it and forms the authorization URL.
  static Pending begin(const Preferences& preferences, std::stop_token stop = {});

  // Exchanges the callback's code, stores the credentials, enrolls this computer under `name`
  // and stores its device fields. The caller saves the preferences afterwards.
  static void finish(const Pending& pending, const Url& callback,
                     const std::string& name = computerName(), std::stop_token stop = {});
};

// Revokes this device on the server, then deletes the credentials. On failure the credentials
// stay and a TrellisantError tells the user how to finish.
void signOut(const Preferences& preferences, std::stop_token stop = {});

// Hands the browser's callback to the sign-in that waits for it. The first accepted callback,
// cancel() or fail() resumes the waiter; everything after that is ignored.
class CallbackWaiter {
 public:
  static constexpr std::chrono::seconds defaultLimit{300};

  explicit CallbackWaiter(std::string state);

  // Takes the callback when it belongs to this sign-in and nothing has resumed it yet.
  bool deliver(const Url& url);
  // Resumes the waiter with "Sign in was canceled. You can try again."
  void cancel();
  // Resumes the waiter with this failure.
  void fail(std::exception_ptr failure);
  // Whether the waiter still takes a callback.
  bool waiting() const;

  // The accepted callback. Throws the cancel message when `limit` passes first, the failure
  // given to fail(), or Cancelled when `stop` is requested.
  Url wait(std::chrono::steady_clock::duration limit = defaultLimit, std::stop_token stop = {});

 private:
  bool resume(std::optional<Url> url, std::exception_ptr failure);

  const std::string state_;
  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  bool resumed_ = false;
  std::optional<Url> url_;
  std::exception_ptr failure_;
};

}  // namespace trellisant
