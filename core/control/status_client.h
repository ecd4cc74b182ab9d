#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "control/agent_status.h"
#include "settings/paths.h"

namespace trellisant {

// Asks the agent's control service for its status. Nothing when the agent cannot be reached,
// refuses us, does not answer within `timeout`, or answers with something that does not
// decode. Never throws.
std::optional<AgentStatus> requestAgentStatus(
    const std::filesystem::path& socketPath = Paths::controlSocket(),
    std::chrono::milliseconds timeout = std::chrono::milliseconds(1500));

}  // namespace trellisant
