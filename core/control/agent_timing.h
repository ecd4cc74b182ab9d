#pragma once

#include <chrono>

#include "api/http.h"

namespace trellisant {

// The agent's rest after a failed pass, and the period of its progress reports while files
// download.
inline constexpr std::chrono::seconds kAgentPause{10};
inline constexpr std::chrono::seconds kAgentTick{5};

// How often the app and `trellisantctl status --watch` ask for the agent's status.
inline constexpr std::chrono::seconds kStatusRefreshInterval{2};

// A running agent rewrites its status at least once per event wait (which ends at the latest
// when the stream stays silent for the idle limit) and pause; an older status is a stuck agent's.
inline constexpr std::chrono::seconds kNotRespondingAfter = http::kIdleLimit + kAgentPause;

}  // namespace trellisant
