#include "settings/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "fileio.h"

namespace trellisant::Paths {
namespace {

std::filesystem::path home() {
  if (const char* value = std::getenv("HOME"); value != nullptr && value[0] == '/') return value;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  return "/";
}

// Creates each missing folder of `path` with mode 0700; existing folders are left as they are.
// A new folder's name is synced in its parent: without that a power cut could take the folder
// away with every file synced into it (credentials, preferences, the journal).
void makeFolders(const std::filesystem::path& path) {
  std::filesystem::path partial;
  for (const auto& piece : path) {
    std::filesystem::path parent = partial;
    partial /= piece;
    if (::mkdir(partial.c_str(), 0700) == 0) {
      ::chmod(partial.c_str(), 0700);
      syncFolder(parent);
    }
  }
}

}  // namespace

std::filesystem::path dataHome() {
  if (const char* value = std::getenv("XDG_DATA_HOME"); value != nullptr && value[0] == '/')
    return value;
  return home() / ".local" / "share";
}

std::filesystem::path stateHome() {
  if (const char* value = std::getenv("XDG_STATE_HOME"); value != nullptr && value[0] == '/')
    return value;
  return home() / ".local" / "state";
}

std::filesystem::path privateFolder(const std::filesystem::path& folder) {
  makeFolders(folder);
  ::chmod(folder.c_str(), 0700);
  return folder;
}

std::filesystem::path support() {
  auto folder = dataHome() / "Trellisant";
  makeFolders(folder);
  return folder;
}

std::filesystem::path controlSocket() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
    return std::filesystem::path(runtime) / std::string(service);
  return support() / "agent.sock";
}

}  // namespace trellisant::Paths
