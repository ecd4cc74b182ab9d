#include "admin_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "delivery_folders.h"
#include "error.h"
#include "summary.h"

namespace trellisant::sandbox {
namespace {

void answer(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(2) + "\n", "application/json");
}

void refuse(httplib::Response& response, int status, const std::string& message) {
  answer(response, status, Json{{"error", message}});
}

std::string optionalString(const Json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return {};
  if (!it->is_string()) throw PlatformError(std::string("\"") + key + "\" must be a string.");
  return it->get<std::string>();
}

std::optional<std::int64_t> optionalInteger(const Json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return std::nullopt;
  if (!it->is_number_integer()) throw PlatformError(std::string("\"") + key + "\" must be a whole number.");
  return it->get<std::int64_t>();
}

Json objectBody(const httplib::Request& request) {
  Json body = request.body.empty() ? Json::object() : parseJson(request.body);
  if (!body.is_object()) throw PlatformError("Send a JSON object.");
  return body;
}

}  // namespace

ProviderServer::Fault faultFromJson(const Json& json) {
  using Kind = ProviderServer::Fault::Kind;
  static const std::pair<const char*, Kind> kinds[] = {
      {"whole-file", Kind::WholeFile},   {"wrong-total", Kind::WrongTotal},
      {"star-total", Kind::StarTotal},   {"gzip", Kind::Gzip},
      {"extra-byte", Kind::ExtraByte},   {"close-after", Kind::CloseAfter},
      {"redirect", Kind::Redirect},      {"trickle", Kind::Trickle},
      {"server-error", Kind::ServerError}, {"slow-loris", Kind::SlowLoris}};
  std::string name = optionalString(json, "kind");
  auto found = std::find_if(std::begin(kinds), std::end(kinds),
                            [&](const auto& entry) { return name == entry.first; });
  if (found == std::end(kinds)) throw PlatformError("Unknown fault kind \"" + name + "\".");
  ProviderServer::Fault fault;
  fault.kind = found->second;
  fault.bytes = optionalInteger(json, "bytes").value_or(0);
  fault.status = static_cast<int>(optionalInteger(json, "status").value_or(0));
  fault.location = optionalString(json, "location");
  if ((fault.kind == Kind::CloseAfter || fault.kind == Kind::Trickle) && fault.bytes <= 0)
    throw PlatformError("This fault needs a positive \"bytes\".");
  if (fault.kind == Kind::Redirect && fault.location.empty())
    throw PlatformError("A redirect needs a \"location\".");
  if (fault.kind == Kind::SlowLoris && fault.bytes <= 0) fault.bytes = 2000;
  return fault;
}

void applyAnnouncements(SandboxDelivery& delivery, const Json& body) {
  if (auto transferId = optionalString(body, "transferId"); !transferId.empty())
    delivery.transferId = transferId;
  if (body.contains("totalBytes")) delivery.totalBytesText = optionalString(body, "totalBytes");
  auto files = body.find("files");
  if (files == body.end() || files->is_null()) return;
  if (!files->is_object()) throw PlatformError("\"files\" must map paths to what they announce.");
  for (const auto& [path, given] : files->items()) {
    auto file = std::find_if(delivery.files.begin(), delivery.files.end(),
                             [&](const SandboxFile& f) { return f.relativePath == path; });
    if (file == delivery.files.end()) throw PlatformError("The folder has no file " + path + ".");
    if (!given.is_object()) throw PlatformError("\"files\" must map paths to objects.");
    // Read every value first, so that a wrong type changes nothing.
    auto id = optionalString(given, "id"), relativePath = optionalString(given, "relativePath"),
         fingerprint = optionalString(given, "fingerprint");
    if (given.contains("size")) file->sizeText = optionalString(given, "size");
    if (given.contains("checksum")) file->checksum = optionalString(given, "checksum");
    if (given.contains("checksumKind")) file->checksumKind = optionalString(given, "checksumKind");
    if (given.contains("id")) file->id = id;
    if (given.contains("relativePath")) file->relativePath = relativePath;
    if (given.contains("fingerprint")) file->fingerprint = fingerprint;
  }
}

Json deliveryAnswer(const SandboxDelivery& delivery) {
  Json files = Json::array();
  for (const auto& file : delivery.files) {
    files.push_back({{"id", file.id},
                     {"relativePath", file.relativePath},
                     {"size", file.size},
                     {"sha256", file.sha256},
                     {"fingerprint", file.fingerprint}});
  }
  return {{"id", delivery.id},
          {"transferId", delivery.transferId},
          {"name", delivery.name},
          {"projectName", delivery.projectName},
          {"companyName", delivery.companyName},
          {"totalBytes", delivery.totalBytes()},
          {"files", files}};
}

struct AdminServer::Impl {
  CompanyServer& company;
  ProviderServer* provider;
  int requestedPort;
  std::string bindAddress;
  httplib::Server server;
  std::thread listener;
  int port = 0;

  Impl(CompanyServer& company, ProviderServer* provider, int port, std::string bindAddress)
      : company(company), provider(provider), requestedPort(port), bindAddress(std::move(bindAddress)) {}

  // Runs a handler; its failure is a 400 with the failure's text.
  static httplib::Server::Handler guarded(std::function<void(const httplib::Request&, httplib::Response&)> inner) {
    return [inner = std::move(inner)](const httplib::Request& request, httplib::Response& response) {
      try {
        inner(request, response);
      } catch (const std::exception& error) {
        refuse(response, 400, userMessage(error));
      }
    };
  }

  void routes() {
    server.Get("/admin/summary", guarded([this](const auto&, auto& response) {
                 answer(response, 200, summaryJson(company, provider));
               }));
    server.Post("/admin/deliveries", guarded([this](const auto& request, auto& response) {
                  Json body = objectBody(request);
                  std::string folder = optionalString(body, "folder");
                  if (folder.empty()) throw PlatformError("Name the \"folder\" of the delivery.");
                  DeliveryDescription given{optionalString(body, "id"), optionalString(body, "company"),
                                            optionalString(body, "project"), optionalString(body, "name")};
                  SandboxDelivery delivery = describedDelivery(folder, given);
                  applyAnnouncements(delivery, body);
                  Json described = deliveryAnswer(delivery);
                  company.addDelivery(std::move(delivery));
                  answer(response, 201, described);
                }));
    server.Post("/admin/faults", guarded([this](const auto& request, auto& response) {
                  if (!provider) throw PlatformError("This sandbox runs without a storage provider.");
                  Json body = objectBody(request);
                  auto fault = faultFromJson(body);
                  std::string fileId = optionalString(body, "fileId");
                  auto times = optionalInteger(body, "times");
                  provider->inject(fault, fileId.empty() ? std::nullopt : std::optional(fileId),
                                   times ? std::optional(static_cast<int>(*times)) : std::nullopt);
                  answer(response, 200, Json{{"ok", true}});
                }));
    server.Delete("/admin/faults", guarded([this](const auto&, auto& response) {
                    if (provider) provider->clearFaults();
                    answer(response, 200, Json{{"ok", true}});
                  }));
    server.Post("/admin/events", guarded([this](const auto&, auto& response) {
                  company.signalEvent();
                  answer(response, 200, Json{{"ok", true}, {"lastEventId", company.lastEventId()}});
                }));
    server.Post("/admin/injections", guarded([this](const auto& request, auto& response) {
                  Json body = objectBody(request);
                  std::string method = optionalString(body, "method");
                  std::string path = optionalString(body, "path");
                  if (method.empty() || path.empty())
                    throw PlatformError("An injection needs a \"method\" and a \"path\".");
                  int times = static_cast<int>(optionalInteger(body, "times").value_or(-1));
                  if (auto delay = optionalInteger(body, "delayMs")) {
                    company.delay(method, path, std::chrono::milliseconds(*delay), times);
                  } else if (auto after = optionalInteger(body, "delayAfterMs")) {
                    company.delay(method, path, std::chrono::milliseconds(*after), times, true);
                  } else {
                    auto status = optionalInteger(body, "status");
                    if (!status)
                      throw PlatformError(
                          "An injection needs a \"status\", a \"delayMs\" or a \"delayAfterMs\".");
                    company.inject(method, path, static_cast<int>(*status), optionalString(body, "body"),
                                   times);
                  }
                  answer(response, 200, Json{{"ok", true}});
                }));
    server.Delete("/admin/injections", guarded([this](const auto&, auto& response) {
                    company.clearInjections();
                    answer(response, 200, Json{{"ok", true}});
                  }));
    server.Post("/admin/revoke", guarded([this](const auto&, auto& response) {
                  company.revokeTokens();
                  answer(response, 200, Json{{"ok", true}});
                }));
  }
};

AdminServer::AdminServer(CompanyServer& company, ProviderServer* provider, int port,
                         std::string bindAddress)
    : impl_(std::make_unique<Impl>(company, provider, port, std::move(bindAddress))) {}

AdminServer::~AdminServer() {
  stop();
}

void AdminServer::start() {
  Impl& impl = *impl_;
  impl.routes();
  impl.port = impl.requestedPort == 0
                  ? impl.server.bind_to_any_port(impl.bindAddress)
                  : (impl.server.bind_to_port(impl.bindAddress, impl.requestedPort) ? impl.requestedPort : -1);
  if (impl.port <= 0)
    throw PlatformError("The admin endpoint could not listen on " + impl.bindAddress + ":" +
                        std::to_string(impl.requestedPort) + ".");
  auto ended = std::make_shared<std::atomic<bool>>(false);
  impl.listener = std::thread([&impl, ended] {
    impl.server.listen_after_bind();
    *ended = true;
  });
  while (!impl.server.is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void AdminServer::stop() {
  if (!impl_->listener.joinable()) return;
  impl_->server.stop();
  impl_->listener.join();
}

int AdminServer::port() const {
  return impl_->port;
}

}  // namespace trellisant::sandbox
