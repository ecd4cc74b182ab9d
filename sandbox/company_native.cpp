// The native API and its event stream.

#include <ctime>

#include "api/resources.h"
#include "company_impl.h"
#include "text.h"
#include "url.h"

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

void answerOK(Response& response) {
  answerJson(response, 200, API::OK{true}.toJson());
}

}  // namespace

void CompanyServer::Impl::nativeRoutes() {
  namespace Path = Resources::Path;
  auto root = [](std::string_view path) { return std::string(Path::native) + std::string(path); };
  // The delivery id is the route's first match.
  auto delivery = [&](std::string_view leaf) { return root(Path::ofDelivery("([^/]+)", leaf)); };

  server->Post(root(Path::heartbeat), native([](const Request& request, Response& response, auto&) {
                 auto body = jsonObjectBody(request, response);
                 if (!body) return;
                 auto readiness = stringField(*body, BodyKey::readiness);
                 if (!readiness || !readinessFromString(*readiness) ||
                     !stringField(*body, BodyKey::destinationLabel)) {
                   answerError(response, 400,
                               "A heartbeat needs a readiness and a destination label.");
                   return;
                 }
                 answerOK(response);
               }));

  server->Get(root(Path::deliveries), native([this](const Request&, Response& response, auto&) {
                API::Deliveries list;
                std::lock_guard lock(mutex);
                for (auto& d : store->all()) {
                  const auto& done = completed[d.id];
                  bool finished = d.files.empty() ? emptyDeliveriesSeen.count(d.id) > 0
                                                  : done.size() >= d.files.size();
                  if (!finished) list.deliveries.push_back(d.announced());
                }
                answerJson(response, 200, list.toJson());
              }));

  server->Post(
      delivery(Path::lease), native([this](const Request& request, Response& response, auto&) {
        if (!jsonObjectBody(request, response)) return;
        if (!store->find(request.matches[1])) return answerError(response, 404, kGone);
        API::Lease lease{isoTime(SystemClock::now() + std::chrono::minutes(2))};
        answerJson(response, 200, lease.toJson());
      }));

  server->Get(
      delivery(Path::manifest), native([this](const Request& request, Response& response, auto&) {
        auto found = store->find(request.matches[1]);
        if (!found) return answerError(response, 404, kGone);
        const std::string offsetKey(Path::manifestOffset);
        std::string offsetText =
            request.has_param(offsetKey) ? request.get_param_value(offsetKey) : "";
        if (!isDecimal(offsetText))
          return answerError(response, 400, "The manifest offset must be a number.");
        auto offset = static_cast<std::size_t>(std::min<long long>(
            *parseInt64(offsetText), static_cast<long long>(found->files.size())));
        auto end = std::min(found->files.size(),
                            offset + static_cast<std::size_t>(options.manifestPageSize));
        API::Manifest page;
        for (std::size_t i = offset; i < end; ++i)
          page.files.push_back(found->files[i].announced());
        page.total = static_cast<std::int64_t>(found->files.size());
        if (found->files.empty()) {
          std::lock_guard lock(mutex);
          emptyDeliveriesSeen.insert(found->id);
        }
        answerJson(response, 200, page.toJson());
      }));

  server->Post(
      delivery(Path::capability), native([this](const Request& request, Response& response, auto&) {
        auto body = jsonObjectBody(request, response);
        if (!body) return;
        auto fileId = stringField(*body, BodyKey::fileId);
        if (!fileId) return answerError(response, 400, "A capability needs a fileId.");
        std::string deliveryId = request.matches[1];
        auto file = store->findFile(deliveryId, *fileId);
        if (!file) return answerError(response, 404, kGone);
        std::string base =
            options.providerBase.empty() ? "https://storage.googleapis.com" : options.providerBase;
        ManifestFile announced = file->announced();
        Capability capability{
            base + std::string(kFilesRoot) + percentEncode(deliveryId) + "/" + percentEncode(*fileId),
            {{"X-Sandbox-Signature", capabilitySignature(deliveryId, *fileId)}},
            announced.size,
            announced.fingerprint,
            announced.checksum,
            announced.checksumKind};
        answerJson(response, 200, capability.toJson());
      }));

  server->Post(
      delivery(Path::fileComplete),
      native([this](const Request& request, Response& response, auto&) {
        auto body = jsonObjectBody(request, response);
        if (!body) return;
        auto fileId = stringField(*body, BodyKey::fileId);
        auto sha256 = stringField(*body, BodyKey::sha256);
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
        answerOK(response);
      }));

  server->Post(delivery(Path::progress),
               native([this](const Request& request, Response& response, auto&) {
                 auto body = jsonObjectBody(request, response);
                 if (!body) return;
                 if (!store->find(request.matches[1])) return answerError(response, 404, kGone);
                 auto state = stringField(*body, BodyKey::state);
                 auto bytesDone = stringField(*body, BodyKey::bytesDone);
                 if (!bytesDone || !isDecimal(*bytesDone))
                   return answerError(response, 400, "bytesDone must be a decimal string.");
                 if (state == ProgressState::downloading) return answerOK(response);
                 if (state == ProgressState::waiting && stringField(*body, BodyKey::reason))
                   return answerJson(response, 200, Json(nullptr));
                 answerError(response, 400,
                             "Progress needs the state downloading, or waiting with a reason.");
               }));

  server->Post(root(Path::enroll),
               native(
                   [this](const Request& request, Response& response, const std::string& session) {
                     auto body = jsonObjectBody(request, response);
                     if (!body) return;
                     auto name = stringField(*body, BodyKey::name);
                     auto version = stringField(*body, BodyKey::version);
                     if (!name || !version)
                       return answerError(response, 400, "Enrollment needs a name and a version.");
                     std::lock_guard lock(mutex);
                     auto [id, key] = enrollDevice(session, *name, *version);
                     answerJson(response, 200, API::Enrollment{id, key}.toJson());
                   },
                   false));

  server->Post(root(Path::revoke),
               native(
                   [this](const Request& request, Response& response, const std::string& session) {
                     if (!jsonObjectBody(request, response)) return;
                     std::lock_guard lock(mutex);
                     if (auto device = sessions[session].deviceId) devices[*device].revoked = true;
                     std::erase_if(refreshTokens,
                                   [&](const auto& entry) { return entry.second == session; });
                     answerOK(response);
                   },
                   false));

  server->Get(root(Path::events), native([this](const Request& request, Response& response, auto&) {
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
