#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

// Every folder and file name the programs share, and the rules that find them. Nothing else
// spells a support-folder file's name or reads an XDG variable.
namespace trellisant::Paths {

// The user's home: $HOME when absolute, else the password database's, else "/".
std::filesystem::path home();

// The XDG base folders: the variable when it holds an absolute path, else the default
// (~/.local/share, ~/.local/state, ~/.config).
std::filesystem::path dataHome();
std::filesystem::path stateHome();
std::filesystem::path configHome();
// $XDG_RUNTIME_DIR when it holds an absolute path.
std::optional<std::filesystem::path> runtimeFolder();
std::vector<std::filesystem::path> configDirs();
std::vector<std::filesystem::path> dataDirs();

// dataHome()/Trellisant (default ~/.local/share/Trellisant), created 0700 on first use.
// Never fails: a folder that cannot be made shows up as a failure of the next file operation.
std::filesystem::path support();

// The support folder's files.
std::filesystem::path preferencesFile();  // preferences.json
std::filesystem::path preferencesLock();  // preferences.lock: settings edits take it in turn
std::filesystem::path statusFile();       // status.json: what the agent is doing
std::filesystem::path journalFile();      // downloads.sqlite: the download journal
std::filesystem::path credentialsFile();  // credentials.json: the sign-in without a keyring
std::filesystem::path agentLock();        // agent.lock: one agent per support folder
std::filesystem::path receivedHistoryFile();  // received.sqlite: the deliveries received
std::filesystem::path pendingReceiptsFile();  // receipts-pending.json: receipts still to write

// stateHome()/trellisant/PROGRAM.log
std::filesystem::path logFile(std::string_view program);

// The agent's user unit, started by name over the bus.
inline constexpr std::string_view agentUnit = "trellisant-agent.service";
// configHome()/systemd/user/trellisant-agent.service
std::filesystem::path userUnitFile();
// configHome()/autostart/trellisant-agent.desktop
std::filesystem::path autostartFile();
// configHome()/trellisant/agent.env: the proxies the agent is started with, which may carry a
// password; mode 0600 in a 0700 folder.
std::filesystem::path agentEnvironmentFile();
// configHome()/Trellisant/window.conf: the app's window geometry.
std::filesystem::path windowSettingsFile();

// Name of the agent's control service.
inline constexpr std::string_view service = "com.trellisant.agent";
// A program's socket: runtimeFolder()/`name`, or support()/`fallback` without a runtime folder.
std::filesystem::path runtimeSocket(std::string_view name, std::string_view fallback);
// runtimeSocket(service, "agent.sock")
std::filesystem::path controlSocket();
// runtimeSocket("com.trellisant.app", "app.sock"): where a second app hands over to the first.
std::filesystem::path appSocket();

}  // namespace trellisant::Paths
