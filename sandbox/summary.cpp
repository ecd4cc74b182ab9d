#include "summary.h"

#include <algorithm>
#include <sstream>

#include "api/resources.h"
#include "text.h"
#include "url.h"

namespace trellisant::sandbox {
namespace {

namespace Path = Resources::Path;

// One request of either server, in the merged order.
struct Entry {
  Date time;
  const RecordedRequest* company = nullptr;
  const ProviderServer::Request* provider = nullptr;
};

// "heartbeat", "lease", "file-complete", … from the path of a native request; the delivery id
// when the path names one.
std::pair<std::string, std::string> nativeKind(const std::string& path) {
  std::string_view rest = std::string_view(path).substr(Path::native.size());
  const std::string deliveries = std::string(Path::deliveries) + "/";
  if (rest.starts_with(deliveries)) {
    rest.remove_prefix(deliveries.size());
    auto slash = rest.find('/');
    if (slash != std::string_view::npos)
      return {std::string(rest.substr(slash + 1)), percentDecode(rest.substr(0, slash))};
  }
  return {std::string(rest), ""};
}

std::string kindOf(const std::string& path) {
  if (path.starts_with(Path::native)) return nativeKind(path).first;
  if (path == Path::nativeConfig) return "discovery";
  if (path == kAuthorizePath) return "authorize";
  if (path == Path::token) return "token";
  return "other";
}

Json bodyOf(const RecordedRequest& request) {
  if (request.body.empty()) return nullptr;
  try {
    return Json::parse(request.body);
  } catch (const Json::exception&) {
    return request.body;  // kept as text: a malformed body is worth seeing too
  }
}

Json field(const Json& body, const char* key) {
  if (!body.is_object()) return nullptr;
  auto it = body.find(key);
  return it == body.end() ? Json(nullptr) : *it;
}

// kFilesRoot + "DELIVERY/FILE" → both ids.
std::pair<std::string, std::string> providerIds(const std::string& path) {
  std::string_view rest = path;
  if (!rest.starts_with(kFilesRoot)) return {};
  rest.remove_prefix(kFilesRoot.size());
  auto slash = rest.find('/');
  if (slash == std::string_view::npos) return {};
  return {percentDecode(rest.substr(0, slash)), percentDecode(rest.substr(slash + 1))};
}

// First and last byte of "bytes=S-E" (last null for "bytes=S-"); nulls when absent.
std::pair<Json, Json> rangeBounds(const std::optional<std::string>& range) {
  if (!range || range->rfind("bytes=", 0) != 0) return {nullptr, nullptr};
  std::string_view text = std::string_view(*range).substr(6);
  auto dash = text.find('-');
  if (dash == std::string_view::npos) return {nullptr, nullptr};
  auto start = parseInt64(text.substr(0, dash));
  auto end = parseInt64(text.substr(dash + 1));
  return {start ? Json(*start) : Json(nullptr), end ? Json(*end) : Json(nullptr)};
}

Json deliveriesJson(const CompanyServer& company) {
  Json out = Json::array();
  for (const auto& delivery : company.store()->all()) {
    Json files = Json::array();
    for (const auto& file : delivery.files) {
      files.push_back({{"id", file.id},
                       {"relativePath", file.relativePath},
                       {"size", file.size},
                       {"sha256", file.sha256}});
    }
    out.push_back({{"id", delivery.id},
                   {"transferId", delivery.transferId},
                   {"name", delivery.name},
                   {"projectName", delivery.projectName},
                   {"companyName", delivery.companyName},
                   {"totalBytes", delivery.totalBytes()},
                   {"files", files},
                   {"completedFiles", company.completedFiles(delivery.id)}});
  }
  return out;
}

}  // namespace

Json summaryJson(const CompanyServer& company, const ProviderServer* provider) {
  auto companyRequests = company.requests();
  std::vector<ProviderServer::Request> providerRequests;
  if (provider) providerRequests = provider->requests();

  std::vector<Entry> entries;
  for (const auto& request : companyRequests) entries.push_back({request.time, &request, nullptr});
  for (const auto& request : providerRequests) entries.push_back({request.time, nullptr, &request});
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.time < b.time; });

  auto store = company.store();
  Json log = Json::array(), heartbeats = Json::array(), leases = Json::array(),
       manifests = Json::array(), capabilities = Json::array(), progress = Json::array(),
       completions = Json::array(), fetches = Json::array();
  std::int64_t seq = 0;
  for (const Entry& entry : entries) {
    ++seq;
    double time = secondsSince2001(entry.time);
    if (entry.provider) {
      const auto& request = *entry.provider;
      auto [deliveryId, fileId] = providerIds(request.path);
      auto [start, end] = rangeBounds(request.range);
      fetches.push_back({{"seq", seq},
                         {"time", time},
                         {"method", request.method},
                         {"deliveryId", deliveryId},
                         {"fileId", fileId},
                         {"range", request.range ? Json(*request.range) : Json(nullptr)},
                         {"start", start},
                         {"end", end}});
      continue;
    }
    const auto& request = *entry.company;
    std::string path = request.path();
    std::string kind = kindOf(path);
    Json item = {{"seq", seq}, {"time", time}, {"method", request.method}, {"path", path},
                 {"kind", kind}};
    if (!path.starts_with(Path::native)) {
      log.push_back(item);
      continue;
    }
    std::string deliveryId = nativeKind(path).second;
    Json body = bodyOf(request);
    if (!deliveryId.empty()) item["deliveryId"] = deliveryId;
    if (!body.is_null()) item["body"] = body;
    log.push_back(item);

    Json brief = {{"seq", seq}};
    if (!deliveryId.empty()) brief["deliveryId"] = deliveryId;
    if (kind == Path::heartbeat) {
      brief[BodyKey::readiness] = field(body, BodyKey::readiness);
      brief[BodyKey::destinationLabel] = field(body, BodyKey::destinationLabel);
      heartbeats.push_back(brief);
    } else if (kind == Path::lease) {
      leases.push_back(brief);
    } else if (kind == Path::manifest) {
      auto url = Url::parse(request.target);
      auto offset = url ? url->firstQueryValue(Path::manifestOffset) : std::nullopt;
      brief["offset"] = offset ? Json(*offset) : Json(nullptr);
      manifests.push_back(brief);
    } else if (kind == Path::capability) {
      brief[BodyKey::fileId] = field(body, BodyKey::fileId);
      capabilities.push_back(brief);
    } else if (kind == Path::progress) {
      brief[BodyKey::state] = field(body, BodyKey::state);
      brief[BodyKey::bytesDone] = field(body, BodyKey::bytesDone);
      brief[BodyKey::reason] = field(body, BodyKey::reason);
      progress.push_back(brief);
    } else if (kind == Path::fileComplete) {
      Json fileId = field(body, BodyKey::fileId);
      Json sha256 = field(body, BodyKey::sha256);
      std::optional<SandboxFile> file;
      if (fileId.is_string()) file = store->findFile(deliveryId, fileId.get<std::string>());
      brief["fileId"] = fileId;
      brief["sha256"] = sha256;
      brief["matches"] = file && sha256.is_string() && sha256.get<std::string>() == file->sha256;
      completions.push_back(brief);
    }
  }

  Json devices = Json::array();
  for (const auto& device : company.devices()) {
    devices.push_back({{"id", device.id},
                       {"name", device.name},
                       {"version", device.version},
                       {"revoked", device.revoked}});
  }
  Json counts = {{"requests", log.size()},          {"heartbeats", heartbeats.size()},
                 {"leases", leases.size()},         {"manifests", manifests.size()},
                 {"capabilities", capabilities.size()}, {"progress", progress.size()},
                 {"fileCompletions", completions.size()}, {"providerRequests", fetches.size()}};
  return {{"company", company.baseUrl()},
          {"provider", provider ? Json(provider->baseUrl()) : Json(nullptr)},
          {"counts", counts},
          {"deliveries", deliveriesJson(company)},
          {"devices", devices},
          {"heartbeats", heartbeats},
          {"leases", leases},
          {"manifests", manifests},
          {"capabilities", capabilities},
          {"progress", progress},
          {"fileCompletions", completions},
          {"providerRequests", fetches},
          {"log", log}};
}

std::string summaryText(const Json& summary) {
  const Json& counts = summary.at("counts");
  std::ostringstream out;
  out << "Sandbox summary\n"
      << "  requests to the company server: " << counts.at("requests") << "\n"
      << "  heartbeats: " << counts.at("heartbeats");
  const Json& heartbeats = summary.at("heartbeats");
  if (!heartbeats.empty() && heartbeats.back().at("readiness").is_string())
    out << " (last: " << heartbeats.back().at("readiness").get<std::string>() << ")";
  out << "\n  leases: " << counts.at("leases") << "\n"
      << "  file-list pages: " << counts.at("manifests") << "\n"
      << "  capabilities: " << counts.at("capabilities") << "\n";

  int downloading = 0, waiting = 0;
  std::string lastBytes, lastReason;
  for (const Json& report : summary.at("progress")) {
    if (report.at("state") == "downloading") {
      ++downloading;
      if (report.at("bytesDone").is_string()) lastBytes = report.at("bytesDone").get<std::string>();
    } else if (report.at("state") == "waiting") {
      ++waiting;
      if (report.at("reason").is_string()) lastReason = report.at("reason").get<std::string>();
    }
  }
  out << "  progress reports: " << downloading << " downloading";
  if (!lastBytes.empty()) out << " (last at " << lastBytes << " bytes)";
  out << ", " << waiting << " waiting";
  if (!lastReason.empty()) out << " (last reason: " << lastReason << ")";
  out << "\n";

  int matching = 0;
  for (const Json& completion : summary.at("fileCompletions")) matching += completion.at("matches") ? 1 : 0;
  out << "  file completions: " << counts.at("fileCompletions") << " (" << matching
      << " with the original's SHA-256)\n"
      << "  range requests to the storage provider: " << counts.at("providerRequests") << "\n";
  for (const Json& delivery : summary.at("deliveries")) {
    out << "  delivery \"" << delivery.at("name").get<std::string>() << "\" ("
        << delivery.at("companyName").get<std::string>() << " / "
        << delivery.at("projectName").get<std::string>() << "): "
        << delivery.at("completedFiles").size() << " of " << delivery.at("files").size()
        << " files received\n";
  }
  return out.str();
}

}  // namespace trellisant::sandbox
