#pragma once

#include <string>

#include "company_server.h"
#include "json.h"
#include "provider_server.h"

namespace trellisant::sandbox {

// What the sandbox saw, as one JSON object. Every request of both servers carries "seq", its
// place in one order across the two servers, so a test can tell what came first:
//   "log"              every request to the company server: method, path, kind and, for the
//                      native API, the delivery id and the JSON body as sent
//   "heartbeats"       readiness and destination label of each heartbeat
//   "leases"           delivery id of each lease
//   "manifests"        delivery id and offset of each file-list page
//   "capabilities"     delivery and file id of each capability
//   "progress"         state, bytesDone and reason of each progress report, as sent
//   "fileCompletions"  delivery, file, SHA-256 and whether it matches the original
//   "providerRequests" delivery, file, the Range header and its first and last byte
//   "deliveries"       what is offered, with each file's SHA-256 and the files completed
//   "devices"          the enrolled devices
//   "counts"           the length of each list above
// `provider` may be null (a company server without its provider).
Json summaryJson(const CompanyServer& company, const ProviderServer* provider);

// The same for people: a few lines of counts and each delivery's state.
std::string summaryText(const Json& summary);

}  // namespace trellisant::sandbox
