// The app's model and the agent's first pass find the sign-in in the same store: the keyring of
// the session bus (GNOME Keyring on a private bus).
#include <gtest/gtest.h>

#include "agent.h"
#include "app_fakes.h"
#include "keyring_session.h"

using namespace trellisant;
using namespace trellisant::testing;

TEST_F(AppModelTest, TheAppAndTheAgentFindTheSignInInTheKeyring) {
  KeyringSession keyring;
  keyring.store(startCompany().issueCredentials(1h, true).toJson().dump());
  EXPECT_TRUE(makeModel().signedIn());
  AgentParts parts;
  parts.controlService = false;
  AgentTiming timing;
  timing.betweenPasses = 1ms;
  Agent agent(parts, timing);
  agent.runPass({});
  EXPECT_EQ(AgentStatus::load().state, "paused") << AgentStatus::load().message;

  keyring.lock();
  agent.runPass({});
  EXPECT_EQ(AgentStatus::load().message, "Unlock your login keyring to reconnect Trellisant.");
  EXPECT_EQ(keyring.prompts(), 0);
}
