#include "api/records.h"

#include <algorithm>
#include <cctype>

#include "url.h"

namespace trellisant {
namespace {

void putOptional(Json& json, const char* key, const std::optional<std::string>& value) {
  if (value) json[key] = *value;
}

// A header the server hands over goes out to a storage provider as it stands: a line break in
// it would add headers of the server's choosing to that request.
bool sendableHeader(std::string_view name, std::string_view value) {
  constexpr std::string_view tokenSymbols = "!#$%&'*+-.^_`|~";
  auto tokenCharacter = [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || tokenSymbols.find(c) != std::string_view::npos;
  };
  auto valueCharacter = [](char c) { return c == '\t' || static_cast<unsigned char>(c) >= 0x20; };
  return !name.empty() && std::all_of(name.begin(), name.end(), tokenCharacter) &&
         std::all_of(value.begin(), value.end(), valueCharacter) && value.find('\x7f') == std::string_view::npos;
}

}  // namespace

Delivery Delivery::fromJson(const Json& json) {
  Fields f(json, true);
  return Delivery{f.string("id"),          f.string("transferId"),  f.string("name"),
                  f.string("projectName"), f.string("companyName"), f.string("totalBytes"),
                  f.integer("fileCount"),  f.string("state")};
}

Json Delivery::toJson() const {
  return Json{{"id", id},
              {"transferId", transferId},
              {"name", name},
              {"projectName", projectName},
              {"companyName", companyName},
              {"totalBytes", totalBytes},
              {"fileCount", fileCount},
              {"state", state}};
}

ManifestFile ManifestFile::fromJson(const Json& json) {
  Fields f(json, true);
  return ManifestFile{
      f.string("id"),          f.string("relativePath"),     f.string("size"),
      f.string("fingerprint"), f.optionalString("checksum"), f.optionalString("checksumKind")};
}

Json ManifestFile::toJson() const {
  Json json{
      {"id", id}, {"relativePath", relativePath}, {"size", size}, {"fingerprint", fingerprint}};
  putOptional(json, "checksum", checksum);
  putOptional(json, "checksumKind", checksumKind);
  return json;
}

Capability Capability::fromJson(const Json& json) {
  Fields f(json, true);
  Capability capability;
  capability.url = f.string("url");
  if (!Url::parse(capability.url))
    throw DecodingError("The data couldn’t be read because “url” is not a valid URL.");
  for (auto& [name, value] : f.object("headers").items()) {
    if (!value.is_string())
      throw DecodingError(
          "The data couldn’t be read because “headers” is not an object of strings.");
    if (!sendableHeader(name, value.get_ref<const std::string&>()))
      throw DecodingError(
          "The data couldn’t be read because “headers” holds a name or value that cannot be sent.");
    capability.headers.emplace_back(name, value.get<std::string>());
  }
  capability.size = f.string("size");
  capability.fingerprint = f.string("fingerprint");
  capability.checksum = f.optionalString("checksum");
  capability.checksumKind = f.optionalString("checksumKind");
  return capability;
}

Json Capability::toJson() const {
  Json headerObject = Json::object();
  for (auto& [name, value] : headers) headerObject[name] = value;
  Json json{{"url", url}, {"headers", headerObject}, {"size", size}, {"fingerprint", fingerprint}};
  putOptional(json, "checksum", checksum);
  putOptional(json, "checksumKind", checksumKind);
  return json;
}

}  // namespace trellisant
