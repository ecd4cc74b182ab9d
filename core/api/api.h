#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/records.h"
#include "url.h"
#include "json.h"
#include "settings/credentials.h"

namespace trellisant {

// Time limits of API::waitForEvent; tests shorten them.
struct EventTiming {
  // The wait ends this long after it began, or at the first line that arrives after it.
  std::chrono::steady_clock::duration limit = std::chrono::seconds(25);
  // Connecting, or no byte for this long, fails the wait.
  std::chrono::seconds idleTimeout = http::kIdleLimit;
};

// The one client of the system's own server. It keeps no tokens: every call reads the stored
// credentials afresh and renews the access token shortly before it expires. Safe to use from
// several threads at once; concurrent callers share one token refresh.
class API {
 public:
  // The token endpoint's answer.
  struct Token {
    std::string accessToken;
    std::optional<std::string> refreshToken;
    double expiresIn = 0;  // seconds
    static Token fromJson(const Json& json);
    // Now + expiresIn, with an absurd lifetime bounded to what a stored record can hold.
    Date expiresAt() const;
    // `credentials` with these tokens and expiry; without a new refresh token the old stays.
    Credentials appliedTo(Credentials credentials) const;
  };
  struct OK {
    bool ok = false;
    static OK fromJson(const Json& json);
    Json toJson() const;
  };
  struct Deliveries {
    std::vector<Delivery> deliveries;
    static Deliveries fromJson(const Json& json);
    Json toJson() const;
  };
  struct Manifest {
    std::vector<ManifestFile> files;
    std::int64_t total = 0;
    static Manifest fromJson(const Json& json);
    Json toJson() const;
  };
  struct Lease {
    std::string leaseUntil;
    static Lease fromJson(const Json& json);
    Json toJson() const;
  };
  struct Enrollment {
    std::string id;
    std::string key;
    static Enrollment fromJson(const Json& json);
    Json toJson() const;
  };

  using EventTiming = trellisant::EventTiming;

  // Accepts https addresses, and http only to "localhost" or "127.0.0.1"; otherwise throws
  // TrellisantError.
  explicit API(const std::string& server, EventTiming timing = {});
  virtual ~API();
  API(const API&) = delete;
  API& operator=(const API&) = delete;

  const Url& server() const;

  // Sends one authenticated request to a resource (path relative to the native root, see
  // Resources::Path; it may carry a query) and returns the decoded JSON of a 2xx answer; a body
  // "null" gives a null Json. A non-2xx answer fails with the server's "error" text, or with
  // the interrupted-connection message.
  virtual Json request(std::string_view path, const std::string& method,
                       const std::optional<Json>& body, std::stop_token stop = {});
  template <class T>
  T request(std::string_view path, const std::string& method, const std::optional<Json>& body,
            std::stop_token stop = {}) {
    return T::fromJson(request(path, method, body, stop));
  }
  // For answers that may be JSON null (the "waiting" progress report).
  template <class T>
  std::optional<T> optionalRequest(std::string_view path, const std::string& method,
                                   const std::optional<Json>& body, std::stop_token stop = {}) {
    Json answer = request(path, method, body, stop);
    if (answer.is_null()) return std::nullopt;
    return T::fromJson(answer);
  }

  // Waits on the event stream; returns the largest event id read, or `after`. Returns at the
  // first event, at the time limit, when `receiving` (asked at every line; none: never)
  // answers false, and at once when not signed in to this server or when the stream is
  // refused. A line longer than 16 KiB fails the wait like a broken connection.
  virtual std::int64_t waitForEvent(std::int64_t after, std::stop_token stop = {},
                                    const std::function<bool()>& receiving = {});

  // Renews the access token and stores the result. At most one refresh runs per object; callers
  // arriving meanwhile share its outcome.
  virtual Credentials refresh(const Credentials& credentials);

  // The whole manifest of a delivery, page by page.
  virtual std::vector<ManifestFile> files(const Delivery& delivery, std::stop_token stop = {});

  // One form-encoded POST to an OAuth token endpoint; anything but a 200 fails with the
  // sign-in-expired message.
  static Token token(const std::string& endpoint,
                     const std::vector<std::pair<std::string, std::string>>& fields,
                     std::stop_token stop = {});

 private:
  // The stored credentials for this server, renewed when about to expire; nothing when the
  // device is not signed in to this server.
  std::optional<Credentials> signedInCredentials();
  Credentials renew(const Credentials& credentials);
  // A request to the resource at `path` that carries the credentials.
  http::Request authenticated(std::string_view path, const Credentials& credentials,
                              std::chrono::seconds idleTimeout) const;

  Url server_;
  EventTiming timing_;
  std::mutex mutex_;
  std::optional<std::shared_future<Credentials>> refreshing_;
  // The refresh token this object spent last, and what it got for it.
  std::optional<std::pair<std::string, Credentials>> lastRefresh_;
};

}  // namespace trellisant
