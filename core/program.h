#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// How our programs find each other and other programs, and how they end.
namespace trellisant {

// The installed programs' names, each beside the others.
inline constexpr std::string_view kAgentProgram = "trellisant-agent";
inline constexpr std::string_view kAppProgram = "trellisant";
inline constexpr std::string_view kCtlProgram = "trellisantctl";

// The absolute folders of the colon-separated list in the environment variable (PATH,
// XDG_DATA_DIRS, …); `fallback` when it is unset or empty.
std::vector<std::filesystem::path> folderList(const char* variable,
                                              std::vector<std::filesystem::path> fallback);

// A regular file this user may execute.
bool isExecutable(const std::filesystem::path& path);

// `program` as exec would start it: as given when it holds a slash, else the first executable
// of that name in `folders` ($PATH's by default); nothing when there is none.
std::optional<std::filesystem::path> findProgram(const std::string& program,
                                                 const std::vector<std::filesystem::path>& folders =
                                                     folderList("PATH", {"/usr/local/bin", "/usr/bin", "/bin"}));

// The program `name` in the folder of the running executable; empty when /proc cannot say.
std::filesystem::path besideSelf(std::string_view name);

// Blocks SIGINT and SIGTERM in this thread and every thread it starts afterwards (so call it
// first), and returns the thread that waits for them and then requests `stop`. The signals
// stay blocked; stopping the thread ends its wait.
std::jthread stopOnSignals(std::stop_source& stop);

}  // namespace trellisant
