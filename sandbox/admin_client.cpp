#include "admin_client.h"

#include "api/http.h"
#include "error.h"

namespace trellisant::sandbox {

AdminClient::AdminClient(int port, std::string host)
    : base_("http://" + std::move(host) + ":" + std::to_string(port)) {}

Json AdminClient::call(const std::string& method, const std::string& path,
                       const std::optional<Json>& body) {
  http::Request request;
  request.method = method;
  request.url = base_ + path;
  request.idleTimeout = std::chrono::seconds(60);  // hashing a large folder takes a while
  request.bodyLimit = std::size_t{1} << 30;  // the summary lists every request of a long run
  if (body) {
    request.body = body->dump();
    request.headers.emplace_back("Content-Type", "application/json");
  }
  http::Response response;
  try {
    response = http::perform(request);
  } catch (const http::TransportError& error) {
    throw PlatformError("No sandbox answers at " + base_ + " (" + error.what() + ").");
  }
  Json answer;
  try {
    answer = parseJson(response.body);
  } catch (const std::exception&) {
    throw PlatformError("The sandbox at " + base_ + " answered " + std::to_string(response.status) +
                        " without JSON.");
  }
  if (response.status < 200 || response.status > 299) {
    auto error = answer.is_object() ? answer.find("error") : answer.end();
    throw PlatformError(error != answer.end() && error->is_string()
                            ? error->get<std::string>()
                            : "The sandbox answered " + std::to_string(response.status) + ".");
  }
  return answer;
}

Json AdminClient::summary() {
  return call("GET", "/admin/summary", std::nullopt);
}

Json AdminClient::send(const std::filesystem::path& folder, const DeliveryDescription& description) {
  return send(folder, description, Json::object());
}

Json AdminClient::send(const std::filesystem::path& folder, const DeliveryDescription& description,
                       const Json& announcements) {
  Json body = announcements.is_object() ? announcements : Json::object();
  body["folder"] = std::filesystem::absolute(folder).lexically_normal().string();
  if (!description.id.empty()) body["id"] = description.id;
  if (!description.company.empty()) body["company"] = description.company;
  if (!description.project.empty()) body["project"] = description.project;
  if (!description.name.empty()) body["name"] = description.name;
  return call("POST", "/admin/deliveries", body);
}

void AdminClient::fault(const Json& fault) {
  call("POST", "/admin/faults", fault);
}

void AdminClient::clearFaults() {
  call("DELETE", "/admin/faults", std::nullopt);
}

void AdminClient::signalEvent() {
  call("POST", "/admin/events", Json::object());
}

void AdminClient::inject(const Json& injection) {
  call("POST", "/admin/injections", injection);
}

void AdminClient::clearInjections() {
  call("DELETE", "/admin/injections", std::nullopt);
}

void AdminClient::revokeTokens() {
  call("POST", "/admin/revoke", Json::object());
}

}  // namespace trellisant::sandbox
