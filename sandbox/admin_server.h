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
//                             stream; answers 201 with the delivery and its file ids. What a
//                             hostile server would announce can be given too: "transferId",
//                             "totalBytes", and "files": {path in the folder: {"id",
//                             "relativePath", "size", "fingerprint", "checksum",
//                             "checksumKind"}} (strings), which replace the file's own values
//   POST   /admin/faults      {"kind", and optionally "bytes", "status", "location",
//                             "fileId", "times"}: makes the storage provider misbehave
//   DELETE /admin/faults      clears every provider fault
//   POST   /admin/events      signals the event stream without a new delivery
//   POST   /admin/injections  {"method", "path" (a prefix of the request target), and either
//                             "status" with an optional "body" (the answer given instead of
//                             the real one) or "delayMs" (held that long first) or
//                             "delayAfterMs" (the server acts, then its answer is held that
//                             long); optionally "times"}: makes the company server misbehave
//   DELETE /admin/injections  clears every company injection and delay
//   POST   /admin/revoke      revokes every access and refresh token issued so far
// Fault kinds: "whole-file" (200 instead of 206), "wrong-total", "star-total", "gzip",
// "extra-byte" ("bytes" extra, default 1), "close-after" (after "bytes"), "redirect" (to
// "location"), "trickle" ("bytes" per second), "server-error" ("status", default 503),
// "slow-loris" (one byte every "bytes" milliseconds, default 2000).
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

// Replaces what the delivery announces with the values of a POST /admin/deliveries body
// ("transferId", "totalBytes", "files"); throws PlatformError when they are not valid.
void applyAnnouncements(SandboxDelivery& delivery, const Json& body);

// The delivery as the admin endpoint answers it: ids, names and each file's id and path.
Json deliveryAnswer(const SandboxDelivery& delivery);

}  // namespace trellisant::sandbox
