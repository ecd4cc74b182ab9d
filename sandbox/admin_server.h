#pragma once

#include <memory>
#include <string>

#include "company_server.h"
#include "json.h"
#include "provider_server.h"

namespace trellisant::sandbox {

// The default port of the admin endpoint, on 127.0.0.1.
inline constexpr int kDefaultAdminPort = 9080;

// A plain-HTTP endpoint on loopback through which a person or a test drives a running
// sandbox. Requests and answers are JSON:
//   GET    /admin/summary     what the sandbox saw (summaryJson)
//   POST   /admin/deliveries  {"folder", and optionally "id", "company", "project", "name"}:
//                             offers the folder's files as a delivery and signals the event
//                             stream; answers 201 with the delivery and its file ids
//   POST   /admin/faults      {"kind", and optionally "bytes", "status", "location",
//                             "fileId", "times"}: makes the storage provider misbehave
//   DELETE /admin/faults      clears every provider fault
//   POST   /admin/events      signals the event stream without a new delivery
// Fault kinds: "whole-file" (200 instead of 206), "wrong-total", "star-total", "gzip",
// "extra-byte", "close-after" (after "bytes"), "redirect" (to "location"), "trickle"
// ("bytes" per second), "server-error" ("status", default 503).
class AdminServer {
 public:
  // `provider` may be null; fault requests then fail.
  AdminServer(CompanyServer& company, ProviderServer* provider, int port = kDefaultAdminPort,
              std::string bindAddress = "127.0.0.1");
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Throws PlatformError when it cannot listen.
  void start();
  void stop();
  int port() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A provider fault from its JSON form (see AdminServer); throws PlatformError when invalid.
ProviderServer::Fault faultFromJson(const Json& json);

// The delivery as the admin endpoint answers it: ids, names and each file's id and path.
Json deliveryAnswer(const SandboxDelivery& delivery);

}  // namespace trellisant::sandbox
