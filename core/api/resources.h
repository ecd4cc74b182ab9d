#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "api/api.h"

namespace trellisant {

// What a heartbeat tells the server about this device.
enum class Readiness { setup, paused, ready };
std::string_view toString(Readiness readiness);
std::optional<Readiness> readinessFromString(std::string_view word);

// Every call of the native API's resources: method, path, body and answer. Nothing else in
// the programs spells them out; the sandbox serves the same paths.
namespace Resources {

// The server's paths.
namespace Path {
inline constexpr std::string_view nativeConfig = "/api/native-config";
inline constexpr std::string_view token = "/api/auth/oauth2/token";
// The root of the resources below, and of the event stream.
inline constexpr std::string_view native = "/api/v1/native/";
inline constexpr std::string_view heartbeat = "heartbeat";
inline constexpr std::string_view deliveries = "deliveries";
inline constexpr std::string_view enroll = "enroll";
inline constexpr std::string_view revoke = "revoke";
inline constexpr std::string_view events = "events";
// Per delivery, under ofDelivery.
inline constexpr std::string_view lease = "lease";
inline constexpr std::string_view manifest = "manifest";
inline constexpr std::string_view manifestOffset = "offset";  // the manifest's query item
inline constexpr std::string_view capability = "capability";
inline constexpr std::string_view fileComplete = "file-complete";
inline constexpr std::string_view progress = "progress";

// "deliveries/" + id + "/" + leaf.
std::string ofDelivery(std::string_view deliveryId, std::string_view leaf);
}  // namespace Path

// The waiting report carries at most this many user-perceived characters of the reason.
inline constexpr std::size_t reasonCharacters = 240;

API::OK heartbeat(API& api, Readiness readiness, std::string_view destinationLabel,
                  std::stop_token stop = {});
API::Deliveries deliveries(API& api, std::stop_token stop = {});
API::Lease lease(API& api, const std::string& deliveryId, std::stop_token stop = {});
// One page of the file list, from the `offset`th file on.
API::Manifest manifestPage(API& api, const std::string& deliveryId, std::int64_t offset,
                           std::stop_token stop = {});
Capability capability(API& api, const std::string& deliveryId, std::string_view fileId,
                      std::stop_token stop = {});
API::OK fileComplete(API& api, const std::string& deliveryId, std::string_view fileId,
                     std::string_view sha256, std::stop_token stop = {});
// Progress "downloading", with the bytes done as a decimal string.
API::OK downloading(API& api, const std::string& deliveryId, std::int64_t bytesDone,
                    std::stop_token stop = {});
// Progress "waiting" with `reason` as given; the server may answer null.
std::optional<API::OK> waiting(API& api, const std::string& deliveryId, std::int64_t bytesDone,
                               std::string_view reason, std::stop_token stop = {});
API::Enrollment enroll(API& api, std::string_view name, std::string_view version,
                       std::stop_token stop = {});
API::OK revoke(API& api, std::stop_token stop = {});

}  // namespace Resources
}  // namespace trellisant
