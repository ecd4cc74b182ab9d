#include "settings/computer_name.h"

#include <unistd.h>

#include <climits>
#include <optional>
#include <sstream>

#include "fileio.h"

namespace trellisant {
namespace {

// One value of an environment-style file: KEY=value, optionally in single or double quotes
// with shell-style backslash escapes inside double quotes.
std::optional<std::string> shellValue(std::string_view raw) {
  std::string out;
  if (raw.empty()) return out;
  char quote = (raw.front() == '"' || raw.front() == '\'') ? raw.front() : '\0';
  if (quote) {
    if (raw.size() < 2 || raw.back() != quote) return std::nullopt;
    raw = raw.substr(1, raw.size() - 2);
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (quote != '\'' && raw[i] == '\\' && i + 1 < raw.size()) {
      out.push_back(raw[++i]);
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

std::optional<std::string> prettyHostname(const std::filesystem::path& machineInfo) {
  auto text = readFile(machineInfo);
  if (!text) return std::nullopt;
  std::istringstream lines(*text);
  std::string line;
  std::optional<std::string> found;
  while (std::getline(lines, line)) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string_view value(line);
    value.remove_prefix(start + key.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
      value.remove_suffix(1);
    found = shellValue(value);  // the last assignment wins, as in a shell
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

}  // namespace

std::string computerName(const std::filesystem::path& machineInfo) {
  if (auto pretty = prettyHostname(machineInfo)) return *pretty;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "My computer";
}

}  // namespace trellisant
