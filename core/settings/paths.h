#pragma once

#include <filesystem>
#include <string_view>

namespace trellisant::Paths {

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share: the folder support() is in.
std::filesystem::path dataHome();

// dataHome()/Trellisant (default ~/.local/share/Trellisant), created 0700 on first use.
// Never fails: a folder that cannot be made shows up as a failure of the next file operation.
std::filesystem::path support();

// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
std::filesystem::path stateHome();

// `folder` for files that may hold a secret: missing folders are made with mode 0700, and
// `folder` itself is set to 0700 even when it was there before (its parents stay as they are).
// Returns it; a folder that cannot be made shows up as a failure of the next file operation.
std::filesystem::path privateFolder(const std::filesystem::path& folder);

// The agent's list of received deliveries, in support().
inline constexpr std::string_view historyFile = "received.sqlite";

// Name of the agent's control service.
inline constexpr std::string_view service = "com.trellisant.agent";

// The control socket: $XDG_RUNTIME_DIR/com.trellisant.agent, or support()/agent.sock when
// XDG_RUNTIME_DIR is unset.
std::filesystem::path controlSocket();

}  // namespace trellisant::Paths
