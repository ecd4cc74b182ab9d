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
      {"server-error", Kind::ServerError}};
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
  return fault;
}

Json deliveryAnswer(const SandboxDelivery& delivery) {
  Json files = Json::array();
  for (const auto& file : delivery.files) {
    files.push_back({{"id", file.id},
                     {"relativePath", file.relativePath},
                     {"size", file.size},
                     {"sha256", file.sha256}});
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
