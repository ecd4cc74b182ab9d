#pragma once

#include <functional>
#include <stop_token>

#include "control/agent_status.h"
#include "clock.h"
#include "settings/preferences.h"

namespace trellisant {

// What the app shows in place of the agent's own status: "paused" while receiving is off,
// "setup" while the login item is not enabled, "needs_attention" when the agent's record is
// older than kNotRespondingAfter. Other fields are kept.
AgentStatus applyStatusOverrides(AgentStatus status, const Preferences& preferences,
                                 bool serviceReady, Date now = SystemClock::now());

// Checks sign-in, the download folder (a probe file is written and removed) and the device's
// connection: with the agent registered, `refreshedStatus` (the status as shown after a
// refresh) must not be "needs_attention"; without it, a "setup" heartbeat must reach the
// server. Throws the failure, whose userMessage is the text to show.
void testReadiness(const Preferences& preferences, bool signedIn, bool serviceReady,
                   const std::function<AgentStatus()>& refreshedStatus, std::stop_token stop = {});

// The status shown after a successful readiness test.
AgentStatus readinessPassed(AgentStatus status);

}  // namespace trellisant
