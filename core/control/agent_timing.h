#pragma once

#include <chrono>

namespace trellisant {

// How long the agent waits between things. The age at which the app calls the agent "not
// responding" follows from these defaults and the event wait's limit (api/api.h), so they
// live in the core beside it; `AgentTiming{}` is a constant expression. Tests shorten them.
struct AgentTiming {
  // After a pass that cannot receive, a failed pass, and a delivery pass.
  std::chrono::steady_clock::duration betweenPasses = std::chrono::seconds(10);
  // Progress reports while a delivery's files download.
  std::chrono::steady_clock::duration tick = std::chrono::seconds(5);
  // An event wait that ends this quickly without a new event is followed by a wait this long,
  // so a server that refuses the stream is not asked again in a tight loop.
  std::chrono::steady_clock::duration quickWait = std::chrono::seconds(1);
};

}  // namespace trellisant
