#include <gtest/gtest.h>

#include "app_fakes.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLoginItems = "Allow Trellisant in Login Items to receive in the background.";
constexpr const char* kNotResponding = "The receiving helper is not responding. Restart receiving.";

AgentStatus agentStatus(std::string state, Date updatedAt) {
  return AgentStatus{std::move(state), "Agent says hello.", "", 0, 0, updatedAt};
}

TEST_F(AppModelTest, SignedInNeedsADeviceKeyForTheConfiguredServer) {
  storeCredentials(false);
  EXPECT_FALSE(makeModel().signedIn()) << "credentials without a device key";

  storeCredentials(true, "https://elsewhere.example");
  EXPECT_FALSE(makeModel().signedIn()) << "credentials of another server";

  storeCredentials(true);
  EXPECT_TRUE(makeModel().signedIn());
}

TEST_F(AppModelTest, RefreshOverridesWhatTheAgentWrote) {
  writeStatusFile(agentStatus("ready", now));

  // Receiving off, login item not enabled: paused, whatever the file says.
  auto& off = makeModel();
  EXPECT_EQ(off.status().state, "paused");
  EXPECT_EQ(off.status().message, "Receiving is paused.");
  EXPECT_FALSE(off.serviceReady());
  EXPECT_EQ(agentQuestions, 0) << "without the login item the agent is not asked";

  // Receiving on, login item not enabled.
  writePreferences([](Preferences& p) { p.receiving = true; });
  auto& setup = makeModel();
  ASSERT_TRUE(waitUntil([&] { return setup.status().state == "setup"; })) << "once the login item answered";
  EXPECT_EQ(setup.status().message, kLoginItems);
}

TEST_F(AppModelTest, AnAgentRecordOlderThan45SecondsNeedsAttention) {
  writePreferences([](Preferences& p) { p.receiving = true; });
  loginItem->setStatus(LoginItemStatus::enabled);

  agentAnswer = agentStatus("ready", now - 46s);
  auto& stale = makeModel();
  ASSERT_TRUE(waitUntil([&] { return stale.status().message == "Agent says hello."; }))
      << "the agent's answer replaces the shown status when it arrives";
  stale.refresh();
  EXPECT_EQ(stale.status().state, "needs_attention");
  EXPECT_EQ(stale.status().message, kNotResponding);

  agentAnswer = agentStatus("ready", now - 44s);
  auto& fresh = makeModel();
  ASSERT_TRUE(waitUntil([&] { return fresh.status().message == "Agent says hello."; }));
  fresh.refresh();
  EXPECT_EQ(fresh.status(), *agentAnswer) << "a record 44 seconds old is shown as written";
}

TEST_F(AppModelTest, WithTheLoginItemStillEnabledTheAgentReplacesThePausedOverride) {
  loginItem->setStatus(LoginItemStatus::enabled);
  agentAnswer = agentStatus("ready", now);
  auto& model = makeModel();
  // The override is applied at once; the answer arrives afterwards and is shown as it is.
  ASSERT_TRUE(waitUntil([&] { return model.status().state == "ready"; }));
  EXPECT_TRUE(model.serviceReady());

  // An agent that cannot be reached changes nothing.
  agentAnswer.reset();
  model.refresh();
  EXPECT_EQ(model.status().state, "paused");
  settle();
  EXPECT_EQ(model.status().state, "paused");
}

TEST_F(AppModelTest, EnableRequiresSignInAndAFolder) {
  auto& signedOut = makeModel();
  signedOut.enable();
  EXPECT_EQ(signedOut.error(), "Sign in before enabling receiving.");
  EXPECT_EQ(loginItem->registrations(), 0);

  storeCredentials(true);
  auto& noFolder = makeModel();
  noFolder.enable();
  EXPECT_EQ(noFolder.error(), "");
  ASSERT_TRUE(waitUntil([&] { return chooser->open(); })) << "enable without a folder opens the chooser";
  EXPECT_TRUE(noFolder.choosingFolder());

  // While the chooser is open, enable does nothing at all.
  noFolder.enable();
  EXPECT_EQ(loginItem->registrations(), 0);
  EXPECT_EQ(chooser->opened, 1);
  chooser->answer(std::nullopt);
  EXPECT_FALSE(noFolder.choosingFolder());
  EXPECT_FALSE(noFolder.preferences().receiving) << "the chooser path never turns receiving on";
  EXPECT_FALSE(preferencesOnDisk().receiving);
}

TEST_F(AppModelTest, EnableRegistersTheAgentAndSaves) {
  storeCredentials(true);
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) { p.setDestination(root); });

  loginItem->failRegister("Failed to enable unit: Access denied");
  auto& model = makeModel();
  model.enable();
  ASSERT_TRUE(waitUntil([&] { return !model.error().isEmpty(); })) << "registering runs off the UI thread";
  EXPECT_EQ(model.error(), "Background access needs attention. Failed to enable unit: Access denied");
  EXPECT_FALSE(model.preferences().receiving);

  loginItem->failRegister(std::nullopt);
  model.enable();
  EXPECT_EQ(model.error(), "") << "enable clears the last error";
  ASSERT_TRUE(waitUntil([&] { return model.preferences().receiving; }));
  EXPECT_TRUE(preferencesOnDisk().receiving);
  EXPECT_TRUE(waitUntil([&] { return model.serviceReady(); })) << "enable refreshes";
}

TEST_F(AppModelTest, StopAndQuitQuitsEvenWhenUnregisteringFails) {
  writePreferences([](Preferences& p) { p.receiving = true; });
  loginItem->setStatus(LoginItemStatus::enabled);
  loginItem->failUnregister("Failed to disable unit: Transport endpoint is not connected");
  auto& model = makeModel();
  model.stop(true);
  EXPECT_FALSE(preferencesOnDisk().receiving) << "receiving is off on disk before anything else";
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_EQ(model.error(), "Failed to disable unit: Transport endpoint is not connected");
  EXPECT_EQ(loginItem->unregistrations(), 1);

  loginItem->failUnregister(std::nullopt);
  model.stop(false);
  ASSERT_TRUE(waitUntil([&] { return loginItem->unregistrations() == 2; }));
  settle();
  EXPECT_EQ(quits, 1) << "stop without quit keeps the app";
  EXPECT_FALSE(model.serviceReady());
}

TEST_F(AppModelTest, PausingFromTheWindowRefreshesAndFromTheMenuOnlySaves) {
  writePreferences([](Preferences& p) { p.receiving = true; });
  loginItem->setStatus(LoginItemStatus::enabled);
  agentAnswer = agentStatus("ready", now);
  auto& model = makeModel();
  ASSERT_TRUE(waitUntil([&] { return model.status().state == "ready"; }));

  model.pauseReceiving(false);
  EXPECT_FALSE(preferencesOnDisk().receiving);
  EXPECT_EQ(model.status().state, "ready") << "the menu's pause changes only the preference";
  EXPECT_EQ(loginItem->unregistrations(), 0) << "the agent stays registered";

  model.pauseReceiving(true);
  EXPECT_EQ(model.status().state, "paused");
}

TEST_F(AppModelTest, WebsiteAndNotifications) {
  auto& model = makeModel();
  model.openWebsite();
  EXPECT_EQ(browser->opened(), std::vector<std::string>{"https://trellisant.example"});

  model.allowNotifications();
  ASSERT_TRUE(waitUntil([&] { return notifier->titles().size() == 1; }));
  EXPECT_EQ(model.error(), "");

  notificationServer = false;
  model.allowNotifications();
  ASSERT_TRUE(waitUntil([&] { return !model.error().isEmpty(); }));
  EXPECT_EQ(model.error(), "Notifications cannot be shown because no notification service is running "
                           "on this desktop.");
  EXPECT_EQ(notifier->titles().size(), 1u);
}

}  // namespace
