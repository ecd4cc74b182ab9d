#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "clock.h"
#include "json.h"

namespace trellisant {

// The user's settings, shared through preferences.json.
struct Preferences {
  std::string server;
  // Folder "bookmark": bytes of {"path","dev","ino"}; Base64 in JSON.
  std::optional<std::string> destination;
  std::string destinationLabel;
  bool receiving = false;
  bool overnight = true;
  std::int64_t startHour = 22;
  std::int64_t endHour = 9;
  std::string timeZone;  // IANA id
  double bandwidthMbps = 0;
  bool allowBattery = false;

  // A development server on this computer: load() replaces it with the build's server, so it
  // never outlives the session that set it.
  static bool isLoopbackServer(const std::string& server);

  // The default record (the system zone as timeZone, the build's server).
  Preferences();

  // Never fails: a missing or undecodable file gives the defaults; a loopback server is reset.
  static Preferences load(const std::filesystem::path& file);
  // Shorthand for load(Paths::preferencesFile()).
  static Preferences load();
  // Atomic, mode 0600. Throws PlatformError.
  void save(const std::filesystem::path& file) const;

  // Probes and stores the chosen folder; throws TrellisantError, changing nothing on failure.
  void setDestination(const std::filesystem::path& folder);
  // Resolves the stored folder; throws TrellisantError.
  std::filesystem::path rootPath() const;
  // The bandwidth limit in megabits per second; a negative value means no limit and is stored
  // as 0, as the window shows it.
  void setBandwidth(double mbps) { bandwidthMbps = mbps < 0 ? 0 : mbps; }
  // Whether `date` falls in the overnight window (whole hours, in `timeZone`).
  bool inWindow(Date date) const;

  Json toJson() const;
  // Strict: every key but destination is required. Throws DecodingError.
  static Preferences fromJson(const Json& json);

  bool operator==(const Preferences&) const = default;
};

}  // namespace trellisant
