#include "scheme_handler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>


#include "error.h"
#include "fileio.h"
#include "platform/unit_text.h"
#include "program.h"
#include "qt_convert.h"
#include "settings/paths.h"
#include "text.h"

namespace trellisant::app {
namespace {

using Group = std::map<std::string, std::string, std::less<>>;

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    auto end = text.find('\n');
    out.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return out;
}

std::vector<std::string> listItems(std::string_view value) {
  std::vector<std::string> items;
  while (!value.empty()) {
    auto end = value.find(';');
    if (auto item = trimmed(value.substr(0, end)); !item.empty()) items.emplace_back(item);
    value.remove_prefix(end == std::string_view::npos ? value.size() : end + 1);
  }
  return items;
}

// The keys of group [name] of a key file (desktop entry or mimeapps.list), the first of each
// key winning; nothing when the file cannot be read or has no such group.
std::optional<Group> readGroup(const std::filesystem::path& file, std::string_view name) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  std::optional<Group> group;
  bool inside = false;
  for (std::string_view line : lines(*text)) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inside = line.size() == name.size() + 2 && line.substr(1, name.size()) == name && line.back() == ']';
      if (inside && !group) group.emplace();
      continue;
    }
    auto equals = line.find('=');
    if (!inside || equals == std::string_view::npos) continue;
    group->emplace(std::string(trimmed(line.substr(0, equals))), std::string(trimmed(line.substr(equals + 1))));
  }
  return group;
}

// The program an Exec= value starts: its first argument, after the value's string escapes and
// the argument quoting of the desktop entry rules.
std::string execProgram(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      c = value[++i];
      c = c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    text.push_back(c);
  }
  std::string program;
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return {};
  if (text[i] == '"') {
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      program.push_back(text[i]);
    }
  } else {
    for (; i < text.size() && text[i] != ' ' && text[i] != '\t'; ++i) program.push_back(text[i]);
  }
  for (auto at = program.find("%%"); at != std::string::npos; at = program.find("%%", at + 1)) program.erase(at, 1);
  return program;
}

std::string entryText(const std::filesystem::path& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Trellisant\n"
         "Comment=Receives the sign-in callback of your browser\n"
         "Exec=" + desktopExecArgument(executable.string()) + " %u\n"
         "Icon=trellisant\n"
         "NoDisplay=true\n"
         "Terminal=false\n"
         "MimeType=" + std::string(DesktopSchemeHandler::mimeType) + ";\n";
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) throw PlatformError(error.message());
  struct stat info {};
  // A list kept elsewhere through a link (a dotfiles folder) is updated where it lives.
  std::filesystem::path target = std::filesystem::is_symlink(path) ? std::filesystem::canonical(path, error) : path;
  if (error) target = path;
  mode_t mode = ::stat(target.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0644;
  writeAtomically(target, text, mode);
}

// `text` with key `mimeType` of [Default Applications] set to `entry`, everything else kept.
std::string withDefault(std::string_view text, std::string_view entry) {
  const std::string line = std::string(DesktopSchemeHandler::mimeType) + "=" + std::string(entry);
  const std::string prefix = std::string(DesktopSchemeHandler::mimeType) + "=";
  std::string out;
  bool inside = false, found = false, done = false;
  for (std::string_view original : lines(text)) {
    std::string_view bare = trimmed(original);
    if (!bare.empty() && bare.front() == '[') {
      inside = bare == "[Default Applications]";
      if (inside && !done) {
        out += std::string(original) + "\n" + line + "\n";
        found = done = true;
        continue;
      }
    } else if (inside && bare.substr(0, prefix.size()) == prefix) {
      continue;  // the earlier value, replaced by the line under the group's header
    }
    out += std::string(original) + "\n";
  }
  if (!found) out += (out.empty() ? "" : "\n") + std::string("[Default Applications]\n") + line + "\n";
  return out;
}

}  // namespace

DesktopSchemeHandler::Folders DesktopSchemeHandler::Folders::fromEnvironment() {
  Folders folders;
  folders.configHome = Paths::configHome();
  folders.dataHome = Paths::dataHome();
  folders.configDirs = Paths::configDirs();
  folders.dataDirs = Paths::dataDirs();
  folders.programDirs = folderList("PATH", {});
  if (const char* desktops = std::getenv("XDG_CURRENT_DESKTOP")) {
    for (auto& name : listItems(QString::fromLocal8Bit(desktops).replace(':', ';').toLower().toStdString()))
      folders.desktops.push_back(name);
  }
  return folders;
}

DesktopSchemeHandler::DesktopSchemeHandler(std::filesystem::path executable, Folders folders)
    : executable_(std::move(executable)), folders_(std::move(folders)) {}

std::vector<std::filesystem::path> DesktopSchemeHandler::lists() const {
  std::vector<std::filesystem::path> bases{folders_.configHome};
  bases.insert(bases.end(), folders_.configDirs.begin(), folders_.configDirs.end());
  for (const auto& folder : applicationFolders()) bases.push_back(folder);
  std::vector<std::filesystem::path> out;
  for (const auto& base : bases) {
    for (const auto& desktop : folders_.desktops) out.push_back(base / (desktop + "-mimeapps.list"));
    out.push_back(base / "mimeapps.list");
  }
  return out;
}

std::vector<std::filesystem::path> DesktopSchemeHandler::applicationFolders() const {
  std::vector<std::filesystem::path> out{folders_.dataHome / "applications"};
  for (const auto& folder : folders_.dataDirs) out.push_back(folder / "applications");
  return out;
}

std::optional<std::filesystem::path> DesktopSchemeHandler::installedEntry(const std::string& id) const {
  if (id.find('/') != std::string::npos) return std::nullopt;
  for (const auto& folder : applicationFolders()) {
    auto file = folder / id;
    if (!std::filesystem::exists(file)) continue;
    // The first one found shadows the others, even when it hides itself.
    auto entry = readGroup(file, "Desktop Entry");
    if (!entry) return std::nullopt;
    auto hidden = entry->find("Hidden");
    if (hidden != entry->end() && hidden->second == "true") return std::nullopt;
    return file;
  }
  return std::nullopt;
}

DesktopSchemeHandler::Handlers DesktopSchemeHandler::handlers() const {
  for (const auto& list : lists()) {
    auto defaults = readGroup(list, "Default Applications");
    if (!defaults) continue;
    auto value = defaults->find(mimeType);
    if (value == defaults->end()) continue;
    for (const auto& id : listItems(value->second))
      if (auto entry = installedEntry(id)) return {{*entry}, list};
  }
  // No default: the desktop picks one of the entries that declare the type.
  Handlers found;
  std::set<std::string> seen;
  for (const auto& folder : applicationFolders()) {
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
      std::string id = item.path().filename().string();
      if (item.path().extension() != ".desktop" || !seen.insert(id).second) continue;
      auto entry = installedEntry(id);
      if (!entry) continue;
      auto keys = readGroup(*entry, "Desktop Entry");
      auto types = keys ? keys->find("MimeType") : Group::iterator();
      if (!keys || types == keys->end()) continue;
      auto listed = listItems(types->second);
      if (std::find(listed.begin(), listed.end(), mimeType) != listed.end()) found.entries.push_back(*entry);
    }
  }
  return found;
}

bool DesktopSchemeHandler::runsHere(const std::filesystem::path& entry) const {
  auto keys = readGroup(entry, "Desktop Entry");
  auto exec = keys ? keys->find("Exec") : Group::iterator();
  if (!keys || exec == keys->end()) return false;
  std::string program = execProgram(exec->second);
  if (program.empty()) return false;
  auto path = findProgram(program, folders_.programDirs);
  std::error_code error;
  return path && std::filesystem::equivalent(*path, executable_, error);
}

bool DesktopSchemeHandler::allRunHere(const Handlers& found) const {
  return !found.entries.empty() &&
         std::all_of(found.entries.begin(), found.entries.end(), [this](const auto& entry) { return runsHere(entry); });
}

bool DesktopSchemeHandler::ensure() {
  auto found = handlers();
  if (allRunHere(found)) return false;
  writeFile(folders_.dataHome / "applications" / entryName, entryText(executable_));
  // The list that holds today's default, when it is the user's own, else the user's main one.
  std::filesystem::path list = folders_.configHome / "mimeapps.list";
  if (found.defaultList && found.defaultList->parent_path() == folders_.configHome) list = *found.defaultList;
  writeFile(list, withDefault(readFile(list).value_or(""), entryName));
  return true;
}

}  // namespace trellisant::app
