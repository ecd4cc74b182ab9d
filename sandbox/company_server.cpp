#include "company_server.h"

#include <csignal>

#include "api/pkce.h"
#include "api/resources.h"
#include "company_impl.h"
#include "encoding.h"
#include "error.h"
#include "tls.h"
#include "url.h"

namespace trellisant::sandbox {

std::string RecordedRequest::path() const {
  return target.substr(0, target.find('?'));
}

// Helpers -----------------------------------------------------------------------------------

void answerJson(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void answerError(httplib::Response& response, int status, const std::string& message) {
  answerJson(response, status, Json{{"error", message}});
}

std::optional<Json> jsonObjectBody(const httplib::Request& request, httplib::Response& response) {
  if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    answerError(response, 415, "Send the request as JSON.");
    return std::nullopt;
  }
  try {
    Json body = Json::parse(request.body);
    if (body.is_object()) return body;
  } catch (const Json::exception&) {
  }
  answerError(response, 400, "The request body must be a JSON object.");
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> parseForm(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> fields;
  auto decode = [](std::string_view part) {
    std::string spaced(part);
    for (char& c : spaced) {
      if (c == '+') c = ' ';
    }
    return percentDecode(spaced);
  };
  while (!body.empty()) {
    auto amp = body.find('&');
    std::string_view item = body.substr(0, amp);
    auto eq = item.find('=');
    if (!item.empty()) {
      fields.emplace_back(decode(item.substr(0, eq)),
                          eq == std::string_view::npos ? "" : decode(item.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return fields;
}

// Impl --------------------------------------------------------------------------------------

std::string CompanyServer::Impl::baseUrl() const {
  if (options.tls) {
    return "https://" + options.publicHost + (port == 443 ? "" : ":" + std::to_string(port));
  }
  return "http://127.0.0.1" + (port == 80 ? std::string() : ":" + std::to_string(port));
}

void CompanyServer::Impl::record(const httplib::Request& request) {
  RecordedRequest entry;
  entry.method = request.method;
  entry.target = request.target;
  for (auto& [name, value] : request.headers) {
    // httplib adds these itself; they were not sent.
    if (name == "LOCAL_ADDR" || name == "LOCAL_PORT" || name == "REMOTE_ADDR" ||
        name == "REMOTE_PORT")
      continue;
    entry.headers.emplace_back(name, value);
  }
  entry.body = request.body;
  entry.time = SystemClock::now();
  std::lock_guard lock(mutex);
  requests.push_back(std::move(entry));
}

void CompanyServer::Impl::holdIfDelayed(const httplib::Request& request, bool handled) {
  std::unique_lock lock(mutex);
  auto it = std::find_if(delays.begin(), delays.end(), [&](const Delay& d) {
    return d.method == request.method && request.target.rfind(d.prefix, 0) == 0 &&
           d.afterHandling == handled;
  });
  if (it == delays.end()) return;
  auto duration = it->duration;
  if (it->remaining > 0 && --it->remaining == 0) delays.erase(it);
  changed.wait_for(lock, duration, [&] { return stopping; });
}

bool CompanyServer::Impl::answerInjected(const httplib::Request& request,
                                         httplib::Response& response) {
  Injection chosen;
  {
    std::lock_guard lock(mutex);
    auto it = std::find_if(injections.begin(), injections.end(), [&](const Injection& i) {
      return i.method == request.method && request.target.rfind(i.prefix, 0) == 0;
    });
    if (it == injections.end()) return false;
    chosen = *it;
    if (it->remaining > 0 && --it->remaining == 0) injections.erase(it);
  }
  response.status = chosen.status;
  if (!chosen.location.empty()) response.set_header("Location", chosen.location);
  bool isJson = Json::accept(chosen.body);
  if (!chosen.body.empty())
    response.set_content(chosen.body, isJson ? "application/json" : "text/html");
  return true;
}

CompanyServer::Impl::Handler CompanyServer::Impl::handled(Handler inner) {
  return [this, inner = std::move(inner)](const httplib::Request& request,
                                          httplib::Response& response) {
    record(request);
    holdIfDelayed(request, false);
    if (answerInjected(request, response)) return;
    try {
      inner(request, response);
    } catch (const std::exception& error) {
      answerError(response, 500, error.what());
    }
    holdIfDelayed(request, true);
  };
}

CompanyServer::Impl::Handler CompanyServer::Impl::native(NativeHandler inner, bool requireDevice) {
  return handled([this, inner = std::move(inner), requireDevice](const httplib::Request& request,
                                                                 httplib::Response& response) {
    std::string authorization = request.get_header_value("Authorization");
    std::string session;
    {
      std::lock_guard lock(mutex);
      auto token = authorization.rfind("Bearer ", 0) == 0
                       ? accessTokens.find(authorization.substr(7))
                       : accessTokens.end();
      if (token == accessTokens.end() || token->second.expiresAt <= SystemClock::now()) {
        answerError(response, 401, "Your sign in is no longer valid. Sign in again in Trellisant.");
        return;
      }
      session = token->second.session;
      const auto& deviceId = sessions[session].deviceId;
      if (deviceId) {
        const Device& device = devices[*deviceId];
        if (device.revoked) {
          answerError(response, 403,
                      "This computer was removed from your devices. Sign in again in Trellisant.");
          return;
        }
        if (request.get_header_value("X-Device-Key") != device.key) {
          answerError(response, 403,
                      "This computer could not be verified. Sign in again in Trellisant.");
          return;
        }
      } else if (requireDevice) {
        answerError(response, 403, "Enroll this computer before receiving footage.");
        return;
      }
    }
    inner(request, response, session);
  });
}

std::string CompanyServer::Impl::newSession(const std::string& clientId) {
  std::string id = makeUUID();
  sessions[id] = Session{clientId, std::nullopt};
  return id;
}

TokenAnswer CompanyServer::Impl::issueTokens(const std::string& session, bool withRefresh) {
  TokenAnswer answer{randomURLSafe(), std::nullopt, options.accessTokenLifetime};
  accessTokens[answer.accessToken] = IssuedToken{session, SystemClock::now() + answer.lifetime};
  if (withRefresh) {
    answer.refreshToken = randomURLSafe();
    refreshTokens[*answer.refreshToken] = session;
  }
  return answer;
}

std::pair<std::string, std::string> CompanyServer::Impl::enrollDevice(const std::string& session,
                                                                      std::string name,
                                                                      std::string version) {
  std::string id = "mac-" + makeUUID();
  std::string key = randomURLSafe();
  devices[id] = Device{key, std::move(name), std::move(version), false};
  sessions[session].deviceId = id;
  return {id, key};
}

void CompanyServer::Impl::appendEvent(Json data) {
  std::int64_t id = events.empty() ? 1 : events.back().first + 1;
  events.emplace_back(id, std::move(data));
  changed.notify_all();
}

void CompanyServer::Impl::routes() {
  const std::string config(Resources::Path::nativeConfig), authorization(kAuthorizePath),
      tokens(Resources::Path::token);
  server->Get(config, handled([this](auto& q, auto& r) { nativeConfig(q, r); }));
  server->Get(authorization, handled([this](auto& q, auto& r) { authorize(q, r); }));
  server->Post(tokens, handled([this](auto& q, auto& r) { token(q, r); }));
  nativeRoutes();
  auto notFound = handled([](const httplib::Request&, httplib::Response& response) {
    answerError(response, 404, "Not found.");
  });
  server->Get(".*", notFound);
  server->Post(".*", notFound);
}

// CompanyServer -----------------------------------------------------------------------------

CompanyServer::CompanyServer(Options options, std::shared_ptr<DeliveryStore> store)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->store = store ? std::move(store) : std::make_shared<DeliveryStore>();
  impl_->denyAuthorization = !impl_->options.autoApprove;
}

CompanyServer::~CompanyServer() {
  stop();
}

void CompanyServer::start() {
  Impl& impl = *impl_;
  if (impl.server) throw PlatformError("The sandbox server is already running.");
  // A client that hangs up mid-answer must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (impl.options.tls) {
    if (impl.options.tlsFolder.empty())
      throw PlatformError("The sandbox server needs a folder for its certificates.");
    TlsMaterial material = ensureTlsMaterial(impl.options.tlsFolder);
    impl.server =
        std::make_unique<httplib::SSLServer>(material.certFile.c_str(), material.keyFile.c_str());
  } else {
    impl.server = std::make_unique<httplib::Server>();
  }
  if (!impl.server->is_valid())
    throw PlatformError("The sandbox server could not load its certificate.");
  // Event streams hold a thread each for as long as they stay open.
  impl.server->new_task_queue = [] { return new httplib::ThreadPool(32); };
  impl.server->set_keep_alive_timeout(1);
  // As many requests on one connection as real servers allow (nginx 1000, Apache 100), not
  // cpp-httplib's 5, so that clients keeping connections open are measured as in the field.
  impl.server->set_keep_alive_max_count(100);
  // Headers and body go out in two writes; without this each answer waits for the client's
  // delayed ACK (about 40 ms), which real servers do not make clients pay.
  impl.server->set_tcp_nodelay(true);
  impl.routes();
  if (impl.options.port == 0) {
    impl.port = impl.server->bind_to_any_port(impl.options.bindAddress);
  } else if (impl.server->bind_to_port(impl.options.bindAddress, impl.options.port)) {
    impl.port = impl.options.port;
  } else {
    impl.port = -1;
  }
  if (impl.port <= 0) {
    impl.server.reset();
    throw PlatformError("The sandbox server could not listen on " + impl.options.bindAddress + ":" +
                        std::to_string(impl.options.port) + ".");
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  impl.listener = std::thread([&impl, ended] {
    impl.server->listen_after_bind();
    *ended = true;
  });
  // stop() is only heard once the accept loop runs.
  while (!impl.server->is_running() && !*ended)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CompanyServer::stop() {
  Impl& impl = *impl_;
  if (!impl.server) return;
  {
    std::lock_guard lock(impl.mutex);
    impl.stopping = true;
  }
  impl.changed.notify_all();
  impl.server->stop();
  if (impl.listener.joinable()) impl.listener.join();
}

int CompanyServer::port() const {
  return impl_->port;
}
std::string CompanyServer::baseUrl() const {
  return impl_->baseUrl();
}
std::shared_ptr<DeliveryStore> CompanyServer::store() const {
  return impl_->store;
}

std::vector<RecordedRequest> CompanyServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void CompanyServer::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

Credentials CompanyServer::issueCredentials(std::chrono::seconds lifetime, bool enrolled) {
  std::lock_guard lock(impl_->mutex);
  std::string session = impl_->newSession(impl_->options.clientId);
  TokenAnswer tokens = impl_->issueTokens(session, true);
  impl_->accessTokens[tokens.accessToken].expiresAt = SystemClock::now() + lifetime;
  Credentials credentials;
  credentials.server = impl_->baseUrl();
  credentials.accessToken = tokens.accessToken;
  credentials.refreshToken = *tokens.refreshToken;
  credentials.clientId = impl_->options.clientId;
  credentials.expiresAt = impl_->accessTokens[tokens.accessToken].expiresAt;
  if (enrolled) {
    auto [id, key] = impl_->enrollDevice(session, "Sandbox computer", "0.1.2");
    credentials.deviceId = id;
    credentials.deviceKey = key;
  }
  return credentials;
}

void CompanyServer::addDelivery(SandboxDelivery delivery) {
  std::string id = delivery.id;
  impl_->store->add(std::move(delivery));
  std::lock_guard lock(impl_->mutex);
  impl_->completed.erase(id);
  impl_->emptyDeliveriesSeen.erase(id);
  impl_->appendEvent(Json{{"type", "delivery"}, {"deliveryId", id}});
}

void CompanyServer::signalEvent() {
  std::lock_guard lock(impl_->mutex);
  impl_->appendEvent(Json{{"type", "signal"}});
}

std::int64_t CompanyServer::lastEventId() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->events.empty() ? 0 : impl_->events.back().first;
}

std::vector<std::string> CompanyServer::completedFiles(const std::string& deliveryId) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->completed.find(deliveryId);
  if (it == impl_->completed.end()) return {};
  return {it->second.begin(), it->second.end()};
}

std::vector<CompanyServer::EnrolledDevice> CompanyServer::devices() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<EnrolledDevice> out;
  for (const auto& [id, device] : impl_->devices)
    out.push_back(EnrolledDevice{id, device.name, device.version, device.revoked});
  return out;
}

void CompanyServer::inject(std::string method, std::string pathPrefix, int status, std::string body,
                           int times) {
  if (times == 0) return;
  std::lock_guard lock(impl_->mutex);
  impl_->injections.push_back(
      Injection{std::move(method), std::move(pathPrefix), status, std::move(body), times, ""});
}

void CompanyServer::redirect(std::string method, std::string pathPrefix, int status,
                             std::string location, int times) {
  if (times == 0) return;
  std::lock_guard lock(impl_->mutex);
  impl_->injections.push_back(
      Injection{std::move(method), std::move(pathPrefix), status, "", times, std::move(location)});
}

void CompanyServer::delay(std::string method, std::string pathPrefix,
                          std::chrono::milliseconds duration, int times, bool afterHandling) {
  if (times == 0) return;
  std::lock_guard lock(impl_->mutex);
  impl_->delays.push_back(
      Delay{std::move(method), std::move(pathPrefix), duration, times, afterHandling});
}

void CompanyServer::clearInjections() {
  std::lock_guard lock(impl_->mutex);
  impl_->injections.clear();
  impl_->delays.clear();
}

void CompanyServer::revokeTokens() {
  std::lock_guard lock(impl_->mutex);
  impl_->accessTokens.clear();
  impl_->refreshTokens.clear();
}

void CompanyServer::setDenyAuthorization(bool deny) {
  std::lock_guard lock(impl_->mutex);
  impl_->denyAuthorization = deny;
}

void CompanyServer::setGrantRefreshToken(bool grant) {
  std::lock_guard lock(impl_->mutex);
  impl_->grantRefreshToken = grant;
}

}  // namespace trellisant::sandbox
