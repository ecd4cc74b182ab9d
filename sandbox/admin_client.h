#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "admin_server.h"
#include "delivery_folders.h"
#include "json.h"

namespace trellisant::sandbox {

// Talks to the admin endpoint of a running sandbox (see AdminServer). Each call throws
// PlatformError with the endpoint's own text when it refuses, or a sentence saying that no
// sandbox answers.
class AdminClient {
 public:
  explicit AdminClient(int port = kDefaultAdminPort, std::string host = "127.0.0.1");

  Json summary();
  // Offers `folder` (made absolute here) as a new delivery; returns it with its file ids.
  Json send(const std::filesystem::path& folder, const DeliveryDescription& description = {});
  // The same, with what a hostile server would announce instead ("transferId", "totalBytes",
  // "files"; see AdminServer).
  Json send(const std::filesystem::path& folder, const DeliveryDescription& description,
            const Json& announcements);
  // `fault` as in AdminServer, e.g. {"kind": "close-after", "bytes": 1000000}.
  void fault(const Json& fault);
  void clearFaults();
  void signalEvent();
  // `injection` as in AdminServer, e.g. {"method": "GET", "path": "/api/v1/native/deliveries",
  // "status": 503, "times": 3}.
  void inject(const Json& injection);
  void clearInjections();
  void revokeTokens();

 private:
  Json call(const std::string& method, const std::string& path, const std::optional<Json>& body);
  std::string base_;
};

}  // namespace trellisant::sandbox
