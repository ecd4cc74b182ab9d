#pragma once

#include <filesystem>
#include <string>

// The texts that start the agent at login: the systemd user unit and the autostart entry.
namespace trellisant {

// The agent's user unit starting `agent`. `pinned` goes before ExecStart=: the login item's
// Environment= and EnvironmentFile= lines (pinnedUnitLines()); the packaged unit has none.
std::string userUnitText(const std::filesystem::path& agent, const std::string& pinned = {});

// The lines that pin, in the login item's unit, the support folder of the session that enabled
// it (the user manager's XDG_DATA_HOME can differ) and its proxies, read from `environment`.
std::string pinnedUnitLines(const std::filesystem::path& environment);

// The autostart entry: a shell reads `environment` first, as a desktop starts the entry with
// its own environment.
std::string autostartText(const std::filesystem::path& agent, const std::filesystem::path& environment);

// NAME='value' lines of the session's proxies, which systemd's EnvironmentFile= and sh's "."
// read alike; they may carry a password.
std::string environmentText();

// One argument of a desktop entry's Exec= line, quoted and escaped as the entry format wants.
// Throws PlatformError for control characters other than newline, tab and return, which no
// entry can hold.
std::string desktopExecArgument(const std::string& text);

}  // namespace trellisant
