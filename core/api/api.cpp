#include "api/api.h"

#include <algorithm>
#include <cmath>

#include "api/event_lines.h"
#include "api/http.h"
#include "api/resources.h"
#include "error.h"
#include "settings/vault.h"

namespace trellisant {
namespace {

constexpr const char* kInsecureServer =
    "Use a secure server address, or localhost for development.";
constexpr const char* kSignInFirst = "Sign in to Trellisant first.";
constexpr const char* kSignInExpired =
    "Your device sign in has expired. Sign in again in Trellisant.";
constexpr const char* kInterrupted = "Your connection was interrupted. Trellisant will retry.";
constexpr const char* kIncompleteList = "The file list is incomplete. Trellisant will retry.";

// Tokens are renewed this long before they expire.
constexpr auto kRefreshMargin = std::chrono::seconds(45);
constexpr auto kTokenTimeout = std::chrono::seconds(30);
// An expiry further out than this would not survive the stored record's date range.
constexpr double kLongestTokenLife = 10.0 * 365 * 24 * 3600;

bool expiresSoon(const Credentials& credentials) {
  return credentials.expiresAt - SystemClock::now() < kRefreshMargin;
}

std::string checkedUrl(std::string url) {
  if (!Url::parse(url)) throw PlatformError("unsupported URL");
  return url;
}

std::string compactJson(const Json& body) {
  try {
    return body.dump();
  } catch (const Json::exception&) {
    throw PlatformError(kUnwritableData);
  }
}

// The failure for a non-2xx answer: the server's own "error" sentence when it sent one.
TrellisantError answerFailure(const std::string& body) {
  try {
    Json json = Json::parse(body);
    if (json.is_object()) {
      auto error = json.find("error");
      if (error != json.end() && error->is_string())
        return TrellisantError(error->get<std::string>());
    }
  } catch (const Json::exception&) {
  }
  return TrellisantError(kInterrupted);
}

}  // namespace

API::Token API::Token::fromJson(const Json& json) {
  Fields f(json, true);
  return Token{f.string("accessToken"), f.optionalString("refreshToken"), f.number("expiresIn")};
}

Date API::Token::expiresAt() const {
  double seconds = std::isfinite(expiresIn) ? std::min(expiresIn, kLongestTokenLife) : 0.0;
  seconds = std::max(seconds, -kLongestTokenLife);
  return SystemClock::now() +
         std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(seconds));
}

Credentials API::Token::appliedTo(Credentials credentials) const {
  credentials.accessToken = accessToken;
  if (refreshToken) credentials.refreshToken = *refreshToken;
  credentials.expiresAt = expiresAt();
  return credentials;
}

API::OK API::OK::fromJson(const Json& json) {
  return OK{Fields(json, true).boolean("ok")};
}

Json API::OK::toJson() const {
  return Json{{"ok", ok}};
}

API::Deliveries API::Deliveries::fromJson(const Json& json) {
  Deliveries out;
  for (auto& item : Fields(json, true).array("deliveries"))
    out.deliveries.push_back(Delivery::fromJson(item));
  return out;
}

Json API::Deliveries::toJson() const {
  Json list = Json::array();
  for (auto& delivery : deliveries) list.push_back(delivery.toJson());
  return Json{{"deliveries", list}};
}

API::Manifest API::Manifest::fromJson(const Json& json) {
  Fields f(json, true);
  Manifest out;
  for (auto& item : f.array("files")) out.files.push_back(ManifestFile::fromJson(item));
  out.total = f.integer("total");
  return out;
}

Json API::Manifest::toJson() const {
  Json list = Json::array();
  for (auto& file : files) list.push_back(file.toJson());
  return Json{{"files", list}, {"total", total}};
}

API::Lease API::Lease::fromJson(const Json& json) {
  return Lease{Fields(json, true).string("leaseUntil")};
}

Json API::Lease::toJson() const {
  return Json{{"leaseUntil", leaseUntil}};
}

API::Enrollment API::Enrollment::fromJson(const Json& json) {
  Fields f(json, true);
  return Enrollment{f.string("id"), f.string("key")};
}

Json API::Enrollment::toJson() const {
  return Json{{"id", id}, {"key", key}};
}

API::API(const std::string& server, EventTiming timing) : timing_(timing) {
  auto url = Url::parse(server);
  if (!url || !url->host) throw TrellisantError(kInsecureServer);
  bool local = url->host == "localhost" || url->host == "127.0.0.1";
  if (url->scheme != "https" && !(url->scheme == "http" && local))
    throw TrellisantError(kInsecureServer);
  server_ = std::move(*url);
}

API::~API() = default;

const Url& API::server() const {
  return server_;
}

std::optional<Credentials> API::signedInCredentials() {
  std::optional<Credentials> credentials = Vault::read();
  if (!credentials || !credentials->matches(server_.text)) return std::nullopt;
  if (expiresSoon(*credentials)) return refresh(*credentials);
  return credentials;
}

http::Request API::authenticated(std::string_view path, const Credentials& credentials,
                                std::chrono::seconds idleTimeout) const {
  http::Request request;
  std::string absolutePath = std::string(Resources::Path::native) + std::string(path);
  request.url = checkedUrl(server_.onOrigin(absolutePath));
  request.idleTimeout = idleTimeout;
  request.followSameOrigin = true;
  request.headers.emplace_back("Authorization", "Bearer " + credentials.accessToken);
  if (credentials.deviceKey) request.headers.emplace_back("X-Device-Key", *credentials.deviceKey);
  return request;
}

Json API::request(std::string_view path, const std::string& method,
                  const std::optional<Json>& body, std::stop_token stop) {
  std::optional<Credentials> credentials = signedInCredentials();
  if (!credentials) throw TrellisantError(kSignInFirst);

  http::Request request = authenticated(path, *credentials, http::kIdleLimit);
  request.method = method;
  if (body) {
    request.body = compactJson(*body);
    request.headers.emplace_back("Content-Type", "application/json");
  }

  http::Response response = http::perform(request, stop);
  if (response.status < 200 || response.status > 299) throw answerFailure(response.body);
  return parseJson(response.body);
}

Credentials API::refresh(const Credentials& credentials) {
  Credentials base = credentials;
  std::promise<Credentials> outcome;
  {
    std::unique_lock lock(mutex_);
    if (refreshing_) {
      auto shared = *refreshing_;
      lock.unlock();
      return shared.get();
    }
    // A caller that read the stored record before this object's last refresh was saved still
    // holds the refresh token that refresh spent; after a rotation the server refuses it.
    if (lastRefresh_ && lastRefresh_->first == credentials.refreshToken &&
        lastRefresh_->second.refreshToken != credentials.refreshToken) {
      if (!expiresSoon(lastRefresh_->second)) return lastRefresh_->second;
      base = lastRefresh_->second;
    }
    refreshing_ = outcome.get_future().share();
  }
  try {
    Credentials renewed = renew(base);
    std::lock_guard lock(mutex_);
    lastRefresh_.emplace(base.refreshToken, renewed);
    refreshing_.reset();
    outcome.set_value(renewed);
    return renewed;
  } catch (...) {
    std::lock_guard lock(mutex_);
    refreshing_.reset();
    outcome.set_exception(std::current_exception());
    throw;
  }
}

Credentials API::renew(const Credentials& credentials) {
  Token answer =
      token(server_.onOrigin(Resources::Path::token), {{OAuthField::grantType, OAuthField::refreshTokenGrant},
                                                       {OAuthField::refreshToken, credentials.refreshToken},
                                                       {OAuthField::clientId, credentials.clientId}});
  Credentials renewed = answer.appliedTo(credentials);
  Vault::save(renewed);
  return renewed;
}

API::Token API::token(const std::string& endpoint,
                      const std::vector<std::pair<std::string, std::string>>& fields,
                      std::stop_token stop) {
  http::Request request;
  request.method = "POST";
  request.url = checkedUrl(endpoint);
  request.idleTimeout = kTokenTimeout;
  request.followSameOrigin = true;
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.body = formEncode(fields);  // "+" travels as "%2B": form decoders read "+" as a space

  http::Response response = http::perform(request, stop);
  if (response.status != 200) throw TrellisantError(kSignInExpired);
  return Token::fromJson(parseJson(response.body));
}

std::int64_t API::waitForEvent(std::int64_t after, std::stop_token stop,
                               const std::function<bool()>& receiving) {
  std::optional<Credentials> credentials = signedInCredentials();
  if (!credentials) return after;

  http::Request request = authenticated(Resources::Path::events, *credentials, timing_.idleTimeout);
  request.headers.emplace_back("Last-Event-ID", std::to_string(after));

  EventCursor cursor(after);
  LineReader reader;
  bool accepted = false;
  auto start = std::chrono::steady_clock::now();
  auto onLine = [&](std::string_view line) {
    if (cursor.read(line)) return false;
    if (std::chrono::steady_clock::now() - start > timing_.limit) return false;
    return !receiving || receiving();
  };
  http::Stream callbacks;
  callbacks.onResponse = [&](const http::Response& head) {
    accepted = head.status == 200;
    start = std::chrono::steady_clock::now();
    return accepted;
  };
  callbacks.onData = [&](std::string_view piece) { return reader.feed(piece, onLine); };
  // The limit holds also for a stream that sends no line at all.
  callbacks.endAt = start + timing_.limit;

  http::StreamResult result = http::stream(request, callbacks, stop);
  if (!accepted) return after;
  if (reader.overflowed()) throw http::tooMuchData();
  if (!result.aborted) reader.finish(onLine);
  return cursor.last();
}

std::vector<ManifestFile> API::files(const Delivery& delivery, std::stop_token stop) {
  std::vector<ManifestFile> files;
  for (;;) {
    auto offset = static_cast<std::int64_t>(files.size());
    Manifest page = Resources::manifestPage(*this, delivery.id, offset, stop);
    if (page.files.empty()) break;
    files.insert(files.end(), page.files.begin(), page.files.end());
    if (static_cast<std::int64_t>(files.size()) >= delivery.fileCount) break;
  }
  if (static_cast<std::int64_t>(files.size()) != delivery.fileCount)
    throw TrellisantError(kIncompleteList);
  return files;
}

}  // namespace trellisant
