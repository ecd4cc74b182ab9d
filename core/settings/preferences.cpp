#include "settings/preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/calendar.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "url.h"
#include "encoding.h"
#include "fileio.h"
#include "settings/app_configuration.h"
#include "settings/paths.h"
#include "text.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

constexpr const char* kChooseAvailableFolder = "Choose an available folder for your downloads.";
constexpr const char* kCannotUseFolder =
    "Trellisant could not use this folder. Check that the disk is connected and you have "
    "permission to save files there.";
constexpr const char* kNoFolder = "Choose a download folder in Trellisant.";
constexpr const char* kCannotResolve = "Choose your download folder again in Settings to renew access.";
constexpr const char* kStale = "Choose your download folder again to renew access.";

std::string systemZoneId() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  icu::UnicodeString id;
  zone->getID(id);
  std::string out;
  id.toUTF8String(out);
  return out;
}

}  // namespace

bool Preferences::isLoopbackServer(const std::string& server) {
  auto url = Url::parse(server);
  if (!url || !url->host) return false;
  std::string host = asciiLowercase(*url->host);
  return host == "localhost" || host == "127.0.0.1" || host == "[::1]" || host == "::1";
}

namespace {

// The folder "bookmark": which folder, and which file-system object it was when chosen, so a
// folder deleted and made again under the same name is noticed.
struct Bookmark {
  std::string path;
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;

  // Nothing when the folder cannot be examined or its path cannot be written as JSON text.
  static std::optional<std::string> make(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    nlohmann::ordered_json json;
    json["path"] = path;
    json["dev"] = static_cast<std::uint64_t>(info.st_dev);
    json["ino"] = static_cast<std::uint64_t>(info.st_ino);
    try {
      return json.dump();
    } catch (const Json::exception&) {
      return std::nullopt;  // a path that is not UTF-8
    }
  }

  static std::optional<Bookmark> decode(const std::string& bytes) {
    try {
      Json json = Json::parse(bytes);
      if (!json.is_object()) return std::nullopt;
      auto path = json.find("path");
      auto dev = json.find("dev");
      auto ino = json.find("ino");
      if (path == json.end() || dev == json.end() || ino == json.end()) return std::nullopt;
      if (!path->is_string() || !dev->is_number_unsigned() || !ino->is_number_unsigned())
        return std::nullopt;
      Bookmark out{path->get<std::string>(), dev->get<std::uint64_t>(), ino->get<std::uint64_t>()};
      if (out.path.empty() || out.path.front() != '/') return std::nullopt;
      return out;
    } catch (const Json::exception&) {
      return std::nullopt;
    }
  }
};

std::string lastComponent(const std::string& path) {
  if (path == "/") return path;
  return path.substr(path.find_last_of('/') + 1);
}

}  // namespace

Preferences::Preferences() : server(AppConfiguration::server()), timeZone(systemZoneId()) {}


Preferences Preferences::load() { return load(Paths::preferencesFile()); }

Preferences Preferences::load(const std::filesystem::path& file) {
  auto bytes = readFile(file);
  if (!bytes) return Preferences();
  Preferences record;
  try {
    record = fromJson(parseJson(*bytes));
  } catch (const std::exception&) {
    return Preferences();
  }
  if (!isLoopbackServer(record.server)) return record;
  // A development server must never outlive the session that set it.
  record.server = std::string(AppConfiguration::server());
  record.receiving = false;
  try {
    record.save(file);
  } catch (const std::exception&) {
  }
  return record;
}

void Preferences::save(const std::filesystem::path& file) const {
  std::string bytes;
  try {
    bytes = toJson().dump();
  } catch (const Json::exception&) {
    throw PlatformError(kUnwritableData);
  }
  writeAtomically(file, bytes, 0600);
}

Json Preferences::toJson() const {
  // JSON has no NaN or infinity; writing one would leave a file that never loads again.
  if (!std::isfinite(bandwidthMbps)) throw PlatformError(kUnwritableData);
  Json json = {
      {"server", server},
      {"destinationLabel", destinationLabel},
      {"receiving", receiving},
      {"overnight", overnight},
      {"startHour", startHour},
      {"endHour", endHour},
      {"timeZone", timeZone},
      {"bandwidthMbps", bandwidthMbps},
      {"allowBattery", allowBattery},
  };
  if (destination) json["destination"] = base64Encode(*destination);
  return json;
}

Preferences Preferences::fromJson(const Json& json) {
  Fields fields(json, false);
  Preferences out;
  out.server = fields.string("server");
  if (auto encoded = fields.optionalString("destination")) {
    auto bytes = base64Decode(*encoded);
    if (!bytes) throw DecodingError("The data couldn’t be read because “destination” is not valid Base64.");
    out.destination = std::move(*bytes);
  }
  out.destinationLabel = fields.string("destinationLabel");
  out.receiving = fields.boolean("receiving");
  out.overnight = fields.boolean("overnight");
  out.startHour = fields.integer("startHour");
  out.endHour = fields.integer("endHour");
  out.timeZone = fields.string("timeZone");
  out.bandwidthMbps = fields.number("bandwidthMbps");
  out.allowBattery = fields.boolean("allowBattery");
  return out;
}

void Preferences::setDestination(const std::filesystem::path& folder) {
  if (!folder.is_absolute()) throw TrellisantError(kChooseAvailableFolder);
  // The real location, as a bookmark would resolve it; also gives a clean last component.
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr), &std::free);
  if (!resolved) throw TrellisantError(kChooseAvailableFolder);
  std::string path = resolved.get();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    throw TrellisantError(kChooseAvailableFolder);

  std::string probe = path + (path == "/" ? "" : "/") + ".trellisant-folder-check-" + asciiUppercase(makeUUID());
  int fd = ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw TrellisantError(kCannotUseFolder);
  ::close(fd);
  auto bookmark = Bookmark::make(path);
  ::unlink(probe.c_str());
  if (!bookmark) throw TrellisantError(kCannotUseFolder);

  destination = std::move(*bookmark);
  destinationLabel = lastComponent(path);
}

std::filesystem::path Preferences::rootPath() const {
  if (!destination) throw TrellisantError(kNoFolder);
  auto bookmark = Bookmark::decode(*destination);
  if (!bookmark) throw TrellisantError(kCannotResolve);
  UniqueFd folder(::open(bookmark->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) throw TrellisantError(kCannotResolve);
  struct stat info {};
  if (::fstat(folder.get(), &info) != 0) throw TrellisantError(kCannotResolve);
  if (static_cast<std::uint64_t>(info.st_dev) != bookmark->dev ||
      static_cast<std::uint64_t>(info.st_ino) != bookmark->ino)
    throw TrellisantError(kStale);
  return bookmark->path;
}

bool Preferences::inWindow(Date date) const {
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
  if (!zone || *zone == icu::TimeZone::getUnknown()) zone.reset(icu::TimeZone::createDefault());
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(zone.release(), status));
  if (U_FAILURE(status) || !calendar) throw PlatformError("The calendar could not be created.");
  auto millis = std::chrono::floor<std::chrono::milliseconds>(date.time_since_epoch());
  calendar->setTime(static_cast<UDate>(millis.count()), status);
  std::int64_t hour = calendar->get(UCAL_HOUR_OF_DAY, status);
  if (U_FAILURE(status)) throw PlatformError("The calendar could not be read.");
  if (startHour == endHour) return true;
  if (startHour < endHour) return startHour <= hour && hour < endHour;
  return hour >= startHour || hour < endHour;
}

}  // namespace trellisant
