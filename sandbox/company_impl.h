#pragma once

// Internals of CompanyServer shared by its source files.

#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "company_server.h"
#include "json.h"

namespace trellisant::sandbox {

struct Session {
  std::string clientId;
  std::optional<std::string> deviceId;
};

struct Device {
  std::string key;
  std::string name;
  std::string version;
  bool revoked = false;
};

struct IssuedToken {
  std::string session;
  Date expiresAt;
};

struct AuthorizationCode {
  std::string clientId;
  std::string redirectUri;
  std::string challenge;
  std::string scope;
  Date expiresAt;
};

struct Injection {
  std::string method;
  std::string prefix;
  int status = 500;
  std::string body;
  int remaining = -1;
  std::string location;  // sent as "Location" when set
};

struct Delay {
  std::string method;
  std::string prefix;
  std::chrono::milliseconds duration{0};
  int remaining = -1;
  bool afterHandling = false;  // held once the server has acted, before its answer leaves
};

struct TokenAnswer {
  std::string accessToken;
  std::optional<std::string> refreshToken;
  std::chrono::seconds lifetime;
};

struct CompanyServer::Impl {
  using Handler = httplib::Server::Handler;

  Options options;
  std::shared_ptr<DeliveryStore> store;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable changed;  // new events, or stopping
  bool stopping = false;
  std::vector<RecordedRequest> requests;
  std::vector<Injection> injections;
  std::vector<Delay> delays;
  std::map<std::string, Session> sessions;
  std::map<std::string, IssuedToken> accessTokens;
  std::map<std::string, std::string> refreshTokens;  // token -> session
  std::map<std::string, Device> devices;
  std::map<std::string, AuthorizationCode> codes;
  std::vector<std::pair<std::int64_t, Json>> events;
  std::map<std::string, std::set<std::string>> completed;  // delivery -> file ids
  std::set<std::string> emptyDeliveriesSeen;  // deliveries without files whose manifest was read
  bool denyAuthorization = false;
  bool grantRefreshToken = true;

  std::string baseUrl() const;
  void routes();

  // Every handler goes through here: record, then an injected answer or the real one.
  Handler handled(Handler inner);
  // Native API handlers: also the bearer token and, once enrolled, the device key.
  using NativeHandler =
      std::function<void(const httplib::Request&, httplib::Response&, const std::string& session)>;
  Handler native(NativeHandler inner, bool requireDevice = true);

  void record(const httplib::Request& request);
  void holdIfDelayed(const httplib::Request& request, bool handled);
  bool answerInjected(const httplib::Request& request, httplib::Response& response);

  // Under `mutex`.
  std::string newSession(const std::string& clientId);
  TokenAnswer issueTokens(const std::string& session, bool withRefresh);
  std::pair<std::string, std::string> enrollDevice(const std::string& session, std::string name,
                                                   std::string version);
  void appendEvent(Json data);

  // company_oauth.cpp
  void nativeConfig(const httplib::Request&, httplib::Response&);
  void authorize(const httplib::Request&, httplib::Response&);
  void token(const httplib::Request&, httplib::Response&);

  // company_native.cpp
  void nativeRoutes();
  void eventStream(const httplib::Request&, httplib::Response&);
};

// Helpers shared by the handlers.
void answerJson(httplib::Response& response, int status, const Json& body);
void answerError(httplib::Response& response, int status, const std::string& message);
// The request's JSON object body; nothing (and a 400 answer) when it is not one.
std::optional<Json> jsonObjectBody(const httplib::Request& request, httplib::Response& response);
std::vector<std::pair<std::string, std::string>> parseForm(std::string_view body);

}  // namespace trellisant::sandbox
