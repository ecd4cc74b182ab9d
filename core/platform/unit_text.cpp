#include "platform/unit_text.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "error.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

// A value for systemd's ExecStart= that survives its quoting, "%" specifiers and "$" expansion.
std::string systemdQuoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    if (c == '$') out.push_back('$');
    out.push_back(c);
  }
  return out + "\"";
}

// An Environment= line of a unit: one quoted word with C escapes, "%" doubled for specifiers
// ("$" means nothing there).
std::string systemdEnvironment(const std::string& assignment) {
  std::string out = "Environment=\"";
  for (char c : assignment) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
      continue;
    }
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out + "\"\n";
}

// NAME=value for what the agent must share with the program that enables it: the folder of the
// shared files (the user manager's XDG_DATA_HOME can differ from the session's) and, apart,
// the session's proxies, which may carry a password.
std::string pinnedDataHome() { return "XDG_DATA_HOME=" + Paths::dataHome().string(); }

std::vector<std::string> pinnedProxies() {
  std::vector<std::string> pinned;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') pinned.push_back(std::string(name) + "=" + value);
  }
  return pinned;
}

// A path for a unit's setting: "%" doubled for specifiers; a line break would end the setting.
std::string systemdPath(const std::filesystem::path& path) {
  std::string out;
  for (char c : path.string()) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw PlatformError("A systemd unit cannot name a file whose path holds control characters.");
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string userUnitText(const std::filesystem::path& agent, const std::string& pinned) {
  return "[Unit]\n"
         "Description=Trellisant agent\n"
         "\n"
         "[Service]\n" +
         pinned +
         "ExecStart=" + systemdQuoted(agent.string()) + "\n"
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::string pinnedUnitLines(const std::filesystem::path& environment) {
  return systemdEnvironment(pinnedDataHome()) + "EnvironmentFile=-" + systemdPath(environment) + "\n";
}

std::string autostartText(const std::filesystem::path& agent, const std::filesystem::path& environment) {
  std::string command = "env " + desktopExecArgument(pinnedDataHome()) + " sh -c " +
                        desktopExecArgument(R"(set -a; [ ! -r "$0" ] || . "$0"; exec "$1")") + " " +
                        desktopExecArgument(environment.string()) + " " + desktopExecArgument(agent.string());
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Trellisant agent\n"
         "Exec=" + command + "\n"
         "NoDisplay=true\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::string environmentText() {
  std::string text;
  for (const auto& assignment : pinnedProxies()) {
    auto equals = assignment.find('=');
    text += assignment.substr(0, equals + 1) + "'";
    for (char c : assignment.substr(equals + 1)) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'\n";
  }
  return text;
}

std::string desktopExecArgument(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n' || c == '\t' || c == '\r') {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
      continue;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      // Not the text itself: it may be a proxy address with a password.
      throw PlatformError("A desktop entry cannot hold the control characters in this session's "
                          "folder, proxy settings or program path.");
    if (c == '"' || c == '`' || c == '$') out += "\\\\";
    if (c == '\\') out += "\\\\\\";
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace trellisant
