#pragma once

#include <chrono>

#include "api/http.h"

namespace trellisant {

// The agent's rest after a pass that cannot receive, a failed pass and a delivery pass, and the
// period of its progress reports while files download.
inline constexpr std::chrono::seconds kAgentPause{10};
inline constexpr std::chrono::seconds kAgentTick{5};

// How long the agent waits between things. The age at which the app calls the agent "not
// responding" follows from these defaults and the event wait's idle limit, so they live in the
// core beside it; `AgentTiming{}` is a constant expression. Tests shorten them.
struct AgentTiming {
  std::chrono::steady_clock::duration betweenPasses = kAgentPause;
  std::chrono::steady_clock::duration tick = kAgentTick;
  // An event wait that ends this quickly without a new event is followed by a wait this long,
  // so a server that refuses the stream is not asked again in a tight loop.
  std::chrono::steady_clock::duration quickWait = std::chrono::seconds(1);
};

// How often the app and `trellisantctl status --watch` ask for the agent's status.
inline constexpr std::chrono::seconds kStatusRefreshInterval{2};

// A running agent rewrites its status at least once per event wait (which ends at the latest
// when the stream stays silent for the idle limit) and pause; an older status is a stuck agent's.
inline constexpr std::chrono::seconds kNotRespondingAfter = http::kIdleLimit + kAgentPause;

}  // namespace trellisant
