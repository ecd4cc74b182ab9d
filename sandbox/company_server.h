#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/http.h"
#include "clock.h"
#include "settings/credentials.h"
#include "store.h"

namespace trellisant::sandbox {

// The sandbox's own sign-in page; clients find it through the configuration discovery.
inline constexpr std::string_view kAuthorizePath = "/oauth/authorize";

// One request as the company server received it.
struct RecordedRequest {
  std::string method;
  std::string target;  // path with query, as sent
  http::Headers headers;
  std::string body;
  Date time;

  // The path without the query.
  std::string path() const;
  std::optional<std::string> header(std::string_view name) const {
    return http::findHeader(headers, name);
  }
};

// A stand-in for the company's web service: configuration discovery, the browser sign-in
// page, the OAuth token endpoint, the native API and its event stream. It checks tokens and
// device keys as the real service would and records every request for tests.
class CompanyServer {
 public:
  struct Options {
    bool tls = true;
    std::filesystem::path tlsFolder;  // where ensureTlsMaterial keeps the certificates
    std::string bindAddress = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string publicHost = "trellisant.test";
    // Capability URLs point below this address; empty means "https://storage.googleapis.com".
    std::string providerBase;
    std::int64_t manifestPageSize = 100;
    std::chrono::milliseconds keepAliveInterval{10000};
    std::chrono::seconds accessTokenLifetime{3600};
    std::string clientId = "trellisant-native";
    bool autoApprove = true;  // false: the authorization page denies every request
  };

  explicit CompanyServer(Options options, std::shared_ptr<DeliveryStore> store = nullptr);
  ~CompanyServer();
  CompanyServer(const CompanyServer&) = delete;
  CompanyServer& operator=(const CompanyServer&) = delete;

  // Binds and starts serving (once per object); throws PlatformError when it cannot listen.
  void start();
  // Returns promptly, also while event streams are open. Called by the destructor.
  void stop();

  int port() const;
  // "https://" + publicHost + ":" + port with TLS, "http://127.0.0.1:" + port without;
  // the default port of the scheme is left out.
  std::string baseUrl() const;
  std::shared_ptr<DeliveryStore> store() const;

  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  // Mints a sign-in the server accepts (server = baseUrl()); with `enrolled`, also a device.
  Credentials issueCredentials(std::chrono::seconds lifetime, bool enrolled);
  // Offers the delivery (replacing one with the same id) and signals an event.
  void addDelivery(SandboxDelivery delivery);
  // Appends an event to the stream; open streams send it at once.
  void signalEvent();
  std::int64_t lastEventId() const;
  // File ids reported complete (with the right SHA-256) for a delivery.
  std::vector<std::string> completedFiles(const std::string& deliveryId) const;

  // The devices enrolled so far, in the order of their ids.
  struct EnrolledDevice {
    std::string id;
    std::string name;
    std::string version;
    bool revoked = false;
  };
  std::vector<EnrolledDevice> devices() const;

  // Answers requests of `method` whose target (path with query) starts with `pathPrefix`
  // with this status and body instead of the normal answer, `times` times (-1: until
  // cleared). A body that parses as JSON is sent as application/json, any other as text/html.
  void inject(std::string method, std::string pathPrefix, int status, std::string body,
              int times = -1);
  // Answers matching requests with a redirect to `location`, `times` times, like inject.
  void redirect(std::string method, std::string pathPrefix, int status, std::string location,
                int times = -1);
  // Holds matching requests this long before answering them, `times` times (-1: until cleared);
  // before the server acts on them, or with `afterHandling` once it has (the answer is held).
  void delay(std::string method, std::string pathPrefix, std::chrono::milliseconds duration,
             int times = -1, bool afterHandling = false);
  void clearInjections();  // also the delays
  // Revokes every access and refresh token issued so far, as an administrator who cuts off
  // all sessions would; devices stay enrolled, so signing in again restores access.
  void revokeTokens();
  void setDenyAuthorization(bool deny);
  void setGrantRefreshToken(bool grant);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace trellisant::sandbox
