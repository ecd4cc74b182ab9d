#include "control/readiness.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "company_fixture.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return userMessage(error);
  }
  return "(no failure)";
}

AgentStatus status(std::string state, Date updatedAt) {
  return AgentStatus{std::move(state), "Agent says so.", "Day 3", 40, 100, updatedAt};
}

TEST(StatusOverrides, ShowWhatTheAppKnowsBetter) {
  Date now = SystemClock::now();
  Preferences preferences;
  preferences.receiving = false;
  auto shown = applyStatusOverrides(status("downloading", now), preferences, true, now);
  EXPECT_EQ(shown.state, "paused");
  EXPECT_EQ(shown.message, "Receiving is paused.");
  EXPECT_EQ(shown.transfer, "Day 3");
  EXPECT_EQ(shown.bytes, 40);

  preferences.receiving = true;
  shown = applyStatusOverrides(status("ready", now), preferences, false, now);
  EXPECT_EQ(shown.state, "setup");
  EXPECT_EQ(shown.message, "Allow Trellisant in Login Items to receive in the background.");

  shown = applyStatusOverrides(status("downloading", now - 46s), preferences, true, now);
  EXPECT_EQ(shown.state, "needs_attention");
  EXPECT_EQ(shown.message, "The receiving helper is not responding. Restart receiving.");
  EXPECT_EQ(applyStatusOverrides(status("downloading", now - 44s), preferences, true, now),
            status("downloading", now - 44s));

  shown = readinessPassed(status("setup", now));
  EXPECT_EQ(shown.state, "ready");
  EXPECT_EQ(shown.message,
            "Folder access and device connection checked. Provider downloads still require "
            "connected storage accounts.");
}

class ReadinessTest : public CompanyTest {
 protected:
  void SetUp() override {
    CompanyTest::SetUp();
    std::filesystem::create_directories(folder);
    preferences.server = server->baseUrl();
    preferences.setDestination(folder);
  }

  bool probeLeft() const {
    for (auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string().rfind(".trellisant-test-", 0) == 0) return true;
    }
    return false;
  }

  std::filesystem::path folder = home.root() / "Footage";
  Preferences preferences;
  AgentStatus agent = AgentStatus::fallback();
  std::function<AgentStatus()> refreshed = [this] { return agent; };
};

TEST_F(ReadinessTest, ChecksSignInAndTheFolderFirst) {
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, false, false, refreshed); }),
            "Sign in to test your device.");
  Preferences noFolder = preferences;
  noFolder.destination.reset();
  EXPECT_EQ(messageOf([&] { testReadiness(noFolder, true, false, refreshed); }),
            "Choose a download folder in Trellisant.");
  std::filesystem::remove_all(folder);
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, true, true, refreshed); }),
            "Choose your download folder again in Settings to renew access.");
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(ReadinessTest, RefusesAFolderItCannotWrite) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, true, false, refreshed); }),
            "Choose a writable download folder.");
}

TEST_F(ReadinessTest, AsksTheAgentWhenItIsRegistered) {
  EXPECT_NO_THROW(testReadiness(preferences, true, true, refreshed));
  agent = status("needs_attention", SystemClock::now());
  agent.message = "Your download disk is full. Free up space to resume.";
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, true, true, refreshed); }), agent.message);
  EXPECT_TRUE(server->requests().empty()) << "no heartbeat while the agent is registered";
  EXPECT_FALSE(probeLeft());
}

TEST_F(ReadinessTest, SendsASetupHeartbeatOtherwise) {
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, true, false, refreshed); }),
            "Sign in to Trellisant first.");
  signIn();
  testReadiness(preferences, true, false, refreshed);
  auto beat = requestsTo("/api/v1/native/heartbeat").at(0);
  EXPECT_EQ(parseJson(beat.body), (Json{{"readiness", "setup"}, {"destinationLabel", "Footage"}}));

  server->inject("POST", "/api/v1/native/heartbeat", 403, R"({"error":"This device was revoked."})");
  EXPECT_EQ(messageOf([&] { testReadiness(preferences, true, false, refreshed); }),
            "This device was revoked.");
  EXPECT_FALSE(probeLeft());
}

}  // namespace
