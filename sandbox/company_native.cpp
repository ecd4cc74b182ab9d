// The native API under /api/v1/native/ and its event stream.

#include <ctime>

#include "url.h"
#include "company_impl.h"
#include "text.h"

namespace trellisant::sandbox {
namespace {

using Request = httplib::Request;
using Response = httplib::Response;

const char* const kGone = "This delivery is no longer available.";

std::optional<std::string> stringField(const Json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool isDecimal(const std::string& text) {
  auto value = parseInt64(text);
  return value && *value >= 0 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool isLowerHex64(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string isoTime(Date date) {
  std::time_t seconds = SystemClock::to_time_t(date);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

Json deliveryJson(const SandboxDelivery& delivery) {
  return Json{{"id", delivery.id},
              {"transferId", delivery.transferId},
              {"name", delivery.name},
              {"projectName", delivery.projectName},
              {"companyName", delivery.companyName},
              {"totalBytes", delivery.totalBytes()},
              {"fileCount", static_cast<std::int64_t>(delivery.files.size())},
              {"state", delivery.state}};
}

Json fileJson(const SandboxFile& file) {
  Json json{{"id", file.id},
            {"relativePath", file.relativePath},
            {"size", file.sizeText.value_or(std::to_string(file.size))},
            {"fingerprint", file.fingerprint}};
  if (file.checksum) json["checksum"] = *file.checksum;
  if (file.checksumKind) json["checksumKind"] = *file.checksumKind;
  return json;
}

}  // namespace

void CompanyServer::Impl::nativeRoutes() {
  const std::string root = "/api/v1/native/";
  const std::string delivery = root + "deliveries/([^/]+)/";

  server->Post(root + "heartbeat", native([](const Request& request, Response& response, auto&) {
                 auto body = jsonObjectBody(request, response);
                 if (!body) return;
                 auto readiness = stringField(*body, "readiness");
                 if (!readiness ||
                     (*readiness != "ready" && *readiness != "paused" && *readiness != "setup") ||
                     !stringField(*body, "destinationLabel")) {
                   answerError(response, 400,
                               "A heartbeat needs a readiness and a destination label.");
                   return;
                 }
                 answerJson(response, 200, Json{{"ok", true}});
               }));

  server->Get(root + "deliveries", native([this](const Request&, Response& response, auto&) {
                Json list = Json::array();
                std::lock_guard lock(mutex);
                for (auto& d : store->all()) {
                  const auto& done = completed[d.id];
                  bool finished = d.files.empty() ? emptyDeliveriesSeen.count(d.id) > 0
                                                  : done.size() >= d.files.size();
                  if (!finished) list.push_back(deliveryJson(d));
                }
                answerJson(response, 200, Json{{"deliveries", list}});
              }));

  server->Post(
      delivery + "lease", native([this](const Request& request, Response& response, auto&) {
        if (!jsonObjectBody(request, response)) return;
        if (!store->find(request.matches[1])) return answerError(response, 404, kGone);
        answerJson(response, 200,
                   Json{{"leaseUntil", isoTime(SystemClock::now() + std::chrono::minutes(2))}});
      }));

  server->Get(
      delivery + "manifest", native([this](const Request& request, Response& response, auto&) {
        auto found = store->find(request.matches[1]);
        if (!found) return answerError(response, 404, kGone);
        std::string offsetText =
            request.has_param("offset") ? request.get_param_value("offset") : "";
        if (!isDecimal(offsetText))
          return answerError(response, 400, "The manifest offset must be a number.");
        auto offset = static_cast<std::size_t>(std::min<long long>(
            *parseInt64(offsetText), static_cast<long long>(found->files.size())));
        auto end = std::min(found->files.size(),
                            offset + static_cast<std::size_t>(options.manifestPageSize));
        Json files = Json::array();
        for (std::size_t i = offset; i < end; ++i) files.push_back(fileJson(found->files[i]));
        if (found->files.empty()) {
          std::lock_guard lock(mutex);
          emptyDeliveriesSeen.insert(found->id);
        }
        answerJson(
            response, 200,
            Json{{"files", files}, {"total", static_cast<std::int64_t>(found->files.size())}});
      }));

  server->Post(
      delivery + "capability", native([this](const Request& request, Response& response, auto&) {
        auto body = jsonObjectBody(request, response);
        if (!body) return;
        auto fileId = stringField(*body, "fileId");
        if (!fileId) return answerError(response, 400, "A capability needs a fileId.");
        std::string deliveryId = request.matches[1];
        auto file = store->findFile(deliveryId, *fileId);
        if (!file) return answerError(response, 404, kGone);
        std::string base =
            options.providerBase.empty() ? "https://storage.googleapis.com" : options.providerBase;
        Json answer{
            {"url", base + "/files/" + percentEncode(deliveryId) + "/" + percentEncode(*fileId)},
            {"headers", Json{{"X-Sandbox-Signature", capabilitySignature(deliveryId, *fileId)}}},
            {"size", file->sizeText.value_or(std::to_string(file->size))},
            {"fingerprint", file->fingerprint}};
        if (file->checksum) answer["checksum"] = *file->checksum;
        if (file->checksumKind) answer["checksumKind"] = *file->checksumKind;
        answerJson(response, 200, answer);
      }));

  server->Post(
      delivery + "file-complete", native([this](const Request& request, Response& response, auto&) {
        auto body = jsonObjectBody(request, response);
        if (!body) return;
        auto fileId = stringField(*body, "fileId");
        auto sha256 = stringField(*body, "sha256");
        if (!fileId || !sha256 || !isLowerHex64(*sha256))
          return answerError(response, 400, "A completed file needs its fileId and SHA-256.");
        std::string deliveryId = request.matches[1];
        auto file = store->findFile(deliveryId, *fileId);
        if (!file) return answerError(response, 404, kGone);
        if (*sha256 != file->sha256)
          return answerError(
              response, 422,
              "The received file does not match the original. Trellisant will retry.");
        std::lock_guard lock(mutex);
        completed[deliveryId].insert(*fileId);
        answerJson(response, 200, Json{{"ok", true}});
      }));

  server->Post(delivery + "progress",
               native([this](const Request& request, Response& response, auto&) {
                 auto body = jsonObjectBody(request, response);
                 if (!body) return;
                 if (!store->find(request.matches[1])) return answerError(response, 404, kGone);
                 auto state = stringField(*body, "state");
                 auto bytesDone = stringField(*body, "bytesDone");
                 if (!bytesDone || !isDecimal(*bytesDone))
                   return answerError(response, 400, "bytesDone must be a decimal string.");
                 if (state == "downloading") return answerJson(response, 200, Json{{"ok", true}});
                 if (state == "waiting" && stringField(*body, "reason"))
                   return answerJson(response, 200, Json(nullptr));
                 answerError(response, 400,
                             "Progress needs the state downloading, or waiting with a reason.");
               }));

  server->Post(root + "enroll",
               native(
                   [this](const Request& request, Response& response, const std::string& session) {
                     auto body = jsonObjectBody(request, response);
                     if (!body) return;
                     auto name = stringField(*body, "name");
                     auto version = stringField(*body, "version");
                     if (!name || !version)
                       return answerError(response, 400, "Enrollment needs a name and a version.");
                     std::lock_guard lock(mutex);
                     auto [id, key] = enrollDevice(session, *name, *version);
                     answerJson(response, 200, Json{{"id", id}, {"key", key}});
                   },
                   false));

  server->Post(root + "revoke",
               native(
                   [this](const Request& request, Response& response, const std::string& session) {
                     if (!jsonObjectBody(request, response)) return;
                     std::lock_guard lock(mutex);
                     if (auto device = sessions[session].deviceId) devices[*device].revoked = true;
                     std::erase_if(refreshTokens,
                                   [&](const auto& entry) { return entry.second == session; });
                     answerJson(response, 200, Json{{"ok", true}});
                   },
                   false));

  server->Get(root + "events", native([this](const Request& request, Response& response, auto&) {
                eventStream(request, response);
              }));
}

void CompanyServer::Impl::eventStream(const Request& request, Response& response) {
  // Events after the client's last one are sent at once, then new ones as they happen. A
  // client ahead of this server (which started afresh) still hears about the next event.
  std::int64_t after = parseInt64(request.get_header_value("Last-Event-ID")).value_or(0);
  {
    std::lock_guard lock(mutex);
    after = std::min(after, events.empty() ? std::int64_t{0} : events.back().first);
  }
  auto cursor = std::make_shared<std::int64_t>(after);
  auto interval = options.keepAliveInterval;
  auto nextKeepAlive = std::make_shared<std::chrono::steady_clock::time_point>(
      std::chrono::steady_clock::now() + interval);
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, cursor, nextKeepAlive, interval](std::size_t, httplib::DataSink& sink) {
        std::string out;
        {
          std::unique_lock lock(mutex);
          changed.wait_until(lock, *nextKeepAlive, [&] {
            return stopping || (!events.empty() && events.back().first > *cursor);
          });
          if (stopping) return false;
          for (auto& [id, data] : events) {
            if (id <= *cursor) continue;
            out += "id: " + std::to_string(id) + "\ndata: " + data.dump() + "\n\n";
            *cursor = id;
          }
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= *nextKeepAlive) {
          out += ":\n";
          *nextKeepAlive = now + interval;
        }
        return out.empty() || sink.write(out.data(), out.size());
      });
}

}  // namespace trellisant::sandbox
