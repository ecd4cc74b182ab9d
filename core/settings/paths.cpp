#include "settings/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fileio.h"
#include "program.h"

namespace trellisant::Paths {
namespace {

std::optional<std::filesystem::path> absoluteVariable(const char* name) {
  if (const char* value = std::getenv(name); value != nullptr && value[0] == '/') return value;
  return std::nullopt;
}

std::filesystem::path inSupport(std::string_view name) { return support() / name; }

}  // namespace

std::filesystem::path home() {
  if (auto value = absoluteVariable("HOME")) return *value;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  return "/";
}

std::filesystem::path dataHome() { return absoluteVariable("XDG_DATA_HOME").value_or(home() / ".local" / "share"); }
std::filesystem::path stateHome() { return absoluteVariable("XDG_STATE_HOME").value_or(home() / ".local" / "state"); }
std::filesystem::path configHome() { return absoluteVariable("XDG_CONFIG_HOME").value_or(home() / ".config"); }
std::optional<std::filesystem::path> runtimeFolder() { return absoluteVariable("XDG_RUNTIME_DIR"); }

std::vector<std::filesystem::path> configDirs() { return folderList("XDG_CONFIG_DIRS", {"/etc/xdg"}); }
std::vector<std::filesystem::path> dataDirs() {
  return folderList("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"});
}

std::filesystem::path support() {
  auto folder = dataHome() / "Trellisant";
  makeFolders(folder);
  return folder;
}

std::filesystem::path preferencesFile() { return inSupport("preferences.json"); }
std::filesystem::path preferencesLock() { return inSupport("preferences.lock"); }
std::filesystem::path statusFile() { return inSupport("status.json"); }
std::filesystem::path journalFile() { return inSupport("downloads.sqlite"); }
std::filesystem::path receivedHistoryFile() { return inSupport("received.sqlite"); }
std::filesystem::path pendingReceiptsFile() { return inSupport("receipts-pending.json"); }
std::filesystem::path credentialsFile() { return inSupport("credentials.json"); }
std::filesystem::path agentLock() { return inSupport("agent.lock"); }

std::filesystem::path logFile(std::string_view program) {
  return stateHome() / "trellisant" / (std::string(program) + ".log");
}

std::filesystem::path userUnitFile() { return configHome() / "systemd" / "user" / agentUnit; }
std::filesystem::path autostartFile() { return configHome() / "autostart" / "trellisant-agent.desktop"; }
std::filesystem::path agentEnvironmentFile() { return configHome() / "trellisant" / "agent.env"; }
std::filesystem::path windowSettingsFile() { return configHome() / "Trellisant" / "window.conf"; }

std::filesystem::path runtimeSocket(std::string_view name, std::string_view fallback) {
  if (auto runtime = runtimeFolder()) return *runtime / name;
  return inSupport(fallback);
}

std::filesystem::path controlSocket() { return runtimeSocket(service, "agent.sock"); }
std::filesystem::path appSocket() { return runtimeSocket("com.trellisant.app", "app.sock"); }

}  // namespace trellisant::Paths
