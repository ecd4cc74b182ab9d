#include "api/sign_in.h"

#include "api/api.h"
#include "api/http.h"
#include "api/pkce.h"
#include "api/resources.h"
#include "error.h"
#include "settings/app_configuration.h"
#include "settings/vault.h"

namespace trellisant {
namespace {

constexpr const char* kScope = "openid profile offline_access device:receive";
constexpr const char* kUnavailable = "Trellisant is unavailable at this server address.";
constexpr const char* kUnexpectedAddress = "The sign in server returned an unexpected address.";
constexpr const char* kInvalidOrDenied = "This sign in request is invalid or was denied.";
constexpr const char* kNoRefreshToken = "Background access was not granted. Sign in again.";
constexpr const char* kCanceled = "Sign in was canceled. You can try again.";
constexpr const char* kSignOutFailed =
    "Connect to the server to finish signing out, or revoke this computer from My devices. ";

struct Discovery {
  std::string clientId;
  std::string authorizationEndpoint;
  std::string tokenEndpoint;
};

Discovery discover(const Url& server, std::stop_token stop) {
  http::Request request;
  request.url = server.onOrigin(Resources::Path::nativeConfig);
  request.idleTimeout = std::chrono::seconds(60);
  request.followSameOrigin = true;
  http::Response response = http::perform(request, stop);
  if (response.status != 200) throw TrellisantError(kUnavailable);
  Json json = parseJson(response.body);
  auto text = [&](const char* key) -> std::string {
    if (!json.is_object() || !json.contains(key) || !json[key].is_string())
      throw TrellisantError(kUnavailable);
    return json[key].get<std::string>();
  };
  Discovery found{text("clientId"), text("authorizationEndpoint"), text("tokenEndpoint")};
  auto token = Url::parse(found.tokenEndpoint);
  if (!token || !token->sameOrigin(server)) throw TrellisantError(kUnavailable);
  return found;
}

// The authorization endpoint with its query replaced by exactly these items.
std::string authorizationURL(const std::string& endpoint,
                             const std::vector<std::pair<std::string, std::string>>& items) {
  auto fragment = endpoint.find('#');
  std::string base = endpoint.substr(0, fragment);
  std::string tail = fragment == std::string::npos ? "" : endpoint.substr(fragment);
  base = base.substr(0, base.find('?'));
  return base + "?" + formEncode(items) + tail;
}

}  // namespace

bool acceptsCallback(const Url& url, const std::optional<std::string>& state) {
  static const Url redirect = Url::parse(kRedirectURI).value();
  return url.scheme == redirect.scheme && url.host == redirect.host && url.path == redirect.path &&
         url.firstQueryValue(OAuthField::state) == state;
}

bool hasDeviceSignIn(const Preferences& preferences) {
  try {
    auto credentials = Vault::read();
    return credentials && credentials->deviceKey && credentials->matches(preferences.server);
  } catch (const std::exception&) {
    return false;
  }
}

SignInFlow::Pending SignInFlow::begin(const Preferences& preferences, std::stop_token stop) {
  API api(preferences.server);
  const Url& server = api.server();
  Discovery discovery = discover(server, stop);

  Pending pending;
  pending.server = server.text;
  pending.clientId = discovery.clientId;
  pending.tokenEndpoint = discovery.tokenEndpoint;
  pending.codeVerifier = randomURLSafe();
  pending.state = randomURLSafe();
  pending.authorizationURL =
      authorizationURL(discovery.authorizationEndpoint,
                       {{OAuthField::clientId, discovery.clientId},
                        {OAuthField::redirectUri, std::string(kRedirectURI)},
                        {OAuthField::responseType, "code"},
                        {"prompt", "consent"},
                        {"scope", kScope},
                        {OAuthField::codeChallenge, pkceChallenge(pending.codeVerifier)},
                        {OAuthField::codeChallengeMethod, "S256"},
                        {OAuthField::state, pending.state}});
  auto formed = Url::parse(pending.authorizationURL);
  if (!formed || !formed->sameOrigin(server)) throw TrellisantError(kUnexpectedAddress);
  return pending;
}

void SignInFlow::finish(const Pending& pending, const Url& callback, const std::string& name,
                        std::stop_token stop) {
  auto state = callback.firstQueryValue(OAuthField::state);
  auto code = callback.firstQueryValue(OAuthField::code);
  // An empty code is no code: the server would only refuse it as expired.
  if (state != pending.state || !code || code->empty()) throw TrellisantError(kInvalidOrDenied);

  API::Token token = API::token(pending.tokenEndpoint,
                                {{OAuthField::grantType, OAuthField::authorizationCodeGrant},
                                 {OAuthField::clientId, pending.clientId},
                                 {OAuthField::code, *code},
                                 {OAuthField::codeVerifier, pending.codeVerifier},
                                 {OAuthField::redirectUri, std::string(kRedirectURI)}},
                                stop);
  if (!token.refreshToken) throw TrellisantError(kNoRefreshToken);

  Credentials credentials;
  credentials.server = pending.server;
  credentials.clientId = pending.clientId;
  credentials = token.appliedTo(credentials);
  Vault::save(credentials);

  API api(pending.server);
  auto enrollment = Resources::enroll(api, name, AppConfiguration::version(), stop);

  // The enrollment request may have renewed the tokens meanwhile; keep the stored ones.
  auto stored = Vault::read();
  if (stored && stored->server == credentials.server && stored->clientId == credentials.clientId)
    credentials = *stored;
  credentials.deviceId = enrollment.id;
  credentials.deviceKey = enrollment.key;
  Vault::save(credentials);
}

void signOut(const Preferences& preferences, std::stop_token stop) {
  try {
    API api(preferences.server);
    Resources::revoke(api, stop);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& error) {
    throw TrellisantError(kSignOutFailed + userMessage(error));
  }
  Vault::clear();
}

CallbackWaiter::CallbackWaiter(std::string state) : state_(std::move(state)) {}

bool CallbackWaiter::resume(std::optional<Url> url, std::exception_ptr failure) {
  {
    std::lock_guard lock(mutex_);
    if (resumed_) return false;
    resumed_ = true;
    url_ = std::move(url);
    failure_ = failure;
  }
  changed_.notify_all();
  return true;
}

bool CallbackWaiter::deliver(const Url& url) {
  if (!acceptsCallback(url, state_)) return false;
  return resume(url, nullptr);
}

void CallbackWaiter::cancel() { resume(std::nullopt, std::make_exception_ptr(TrellisantError(kCanceled))); }

void CallbackWaiter::fail(std::exception_ptr failure) { resume(std::nullopt, failure); }

bool CallbackWaiter::waiting() const {
  std::lock_guard lock(mutex_);
  return !resumed_;
}

Url CallbackWaiter::wait(std::chrono::steady_clock::duration limit, std::stop_token stop) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, stop, deadline, [&] { return resumed_; });
    if (!resumed_ && stop.stop_requested()) throw Cancelled();
  }
  cancel();  // the time limit ends the sign-in as a cancel would; no-op when already resumed
  std::lock_guard lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
  return *url_;
}

}  // namespace trellisant
