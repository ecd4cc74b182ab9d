#include "api/resources.h"

#include "words.h"

namespace trellisant {
namespace {

// Byte counts travel as decimal strings.
Json progressBody(std::string_view state, std::int64_t bytesDone) {
  return Json{{BodyKey::state, state}, {BodyKey::bytesDone, std::to_string(bytesDone)}};
}

}  // namespace

constexpr EnumWords<Readiness, 3> kReadinessWords{
    {{Readiness::setup, "setup"}, {Readiness::paused, "paused"}, {Readiness::ready, "ready"}}};

std::string_view toString(Readiness readiness) { return kReadinessWords(readiness); }
std::optional<Readiness> readinessFromString(std::string_view word) { return kReadinessWords.parse(word); }

namespace Resources {

std::string Path::ofDelivery(std::string_view deliveryId, std::string_view leaf) {
  return std::string(deliveries) + "/" + std::string(deliveryId) + "/" + std::string(leaf);
}

API::OK heartbeat(API& api, Readiness readiness, std::string_view destinationLabel,
                  std::stop_token stop) {
  Json body{{BodyKey::readiness, toString(readiness)}, {BodyKey::destinationLabel, destinationLabel}};
  return api.request<API::OK>(Path::heartbeat, "POST", body, stop);
}

API::Deliveries deliveries(API& api, std::stop_token stop) {
  return api.request<API::Deliveries>(Path::deliveries, "GET", std::nullopt, stop);
}

API::Lease lease(API& api, const std::string& deliveryId, std::stop_token stop) {
  return api.request<API::Lease>(Path::ofDelivery(deliveryId, Path::lease), "POST", Json::object(),
                                 stop);
}

API::Manifest manifestPage(API& api, const std::string& deliveryId, std::int64_t offset,
                           std::stop_token stop) {
  std::string query = "?" + std::string(Path::manifestOffset) + "=" + std::to_string(offset);
  return api.request<API::Manifest>(Path::ofDelivery(deliveryId, Path::manifest) + query, "GET",
                                    std::nullopt, stop);
}

Capability capability(API& api, const std::string& deliveryId, std::string_view fileId,
                      std::stop_token stop) {
  return api.request<Capability>(Path::ofDelivery(deliveryId, Path::capability), "POST",
                                 Json{{BodyKey::fileId, fileId}}, stop);
}

API::OK fileComplete(API& api, const std::string& deliveryId, std::string_view fileId,
                     std::string_view sha256, std::stop_token stop) {
  return api.request<API::OK>(Path::ofDelivery(deliveryId, Path::fileComplete), "POST",
                              Json{{BodyKey::fileId, fileId}, {BodyKey::sha256, sha256}}, stop);
}

API::OK downloading(API& api, const std::string& deliveryId, std::int64_t bytesDone,
                    std::stop_token stop) {
  return api.request<API::OK>(Path::ofDelivery(deliveryId, Path::progress), "POST",
                              progressBody(ProgressState::downloading, bytesDone), stop);
}

std::optional<API::OK> waiting(API& api, const std::string& deliveryId, std::int64_t bytesDone,
                               std::string_view reason, std::stop_token stop) {
  Json body = progressBody(ProgressState::waiting, bytesDone);
  body[BodyKey::reason] = reason;
  return api.optionalRequest<API::OK>(Path::ofDelivery(deliveryId, Path::progress), "POST", body,
                                      stop);
}

API::Enrollment enroll(API& api, std::string_view name, std::string_view version,
                       std::stop_token stop) {
  return api.request<API::Enrollment>(Path::enroll, "POST",
                                      Json{{BodyKey::name, name}, {BodyKey::version, version}}, stop);
}

API::OK revoke(API& api, std::stop_token stop) {
  return api.request<API::OK>(Path::revoke, "POST", Json::object(), stop);
}

}  // namespace Resources
}  // namespace trellisant
