// Every fixed sentence and label of the window, the tray menu, the receiving operations and the
// status record, each checked once here, character for character, where the code keeps it.
// (The download, server, settings and sign-in flow sentences are checked by the tests of the
// behaviour that raises them.)
#include <gtest/gtest.h>

#include <thread>

#include <QLabel>
#include <QMenu>

#include "agent.h"
#include "app_fakes.h"
#include "control/readiness.h"
#include "main_view.h"
#include "settings/app_configuration.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

std::string str(std::string_view text) { return std::string(text); }

TEST_F(AppModelTest, FixedTexts) {
  startCompany();
  // Signed out, whatever the agent wrote: every section, choosing a folder, signing in.
  AgentStatus{"downloading", "Said.", "", 0, 0, now}.save();
  makeModel().allowNotifications();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  const std::string notifications = model->error().toStdString();
  auto view = std::make_unique<app::MainView>(*model);
  auto title = [&] { return view->findChild<QLabel*>("statusTitle")->text(); };
  EXPECT_EQ(title(), "Connect your company");
  QStringList shown = allTexts(view.get()) << allTexts(app::TrayMenu(*model).menu());
  model->setSelected("Settings");
  model->chooseFolder();
  shown << allTexts(view.get());
  answer(std::nullopt);
  model->signIn();
  ASSERT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }));
  shown << allTexts(view.get());

  // The agent's first pass, signed in and receiving, and the window's title for each state.
  receiving();
  Vault::save(company->issueCredentials(1h, true));
  ReceivingControl::edit([](Preferences& p) { p.overnight = false; p.allowBattery = true; });
  AgentParts parts;
  parts.controlService = false;
  Agent agent(parts);
  {
    std::jthread pass([&](std::stop_token stop) { agent.runPass(stop); });
    EXPECT_TRUE(waitUntil([] { return AgentStatus::load().is(AgentState::ready); }, 20s));
  }
  const std::string ready = AgentStatus::load().message;
  view = std::make_unique<app::MainView>(makeModel());
  shown << allTexts(app::TrayMenu(*model).menu());
  for (auto [state, expected] : {std::pair{"ready", "Ready to receive"}, {"downloading", "Downloading footage"},
                                 {"paused", "Receiving is paused"}, {"needs_attention", "Check your device"},
                                 {"setup", "Check your device"}}) {
    agentSays(AgentStatus{state, "Said.", "", 0, 0, now});
    model->refresh();
    ASSERT_TRUE(waitUntil([&] { return model->status().state == state; })) << state;
    EXPECT_EQ(title(), expected) << state;
  }

  Preferences on;
  on.receiving = true;
  const AgentStatus record{"ready", "", "", 0, 0, now};
  const std::pair<std::string, std::string> said[] = {
      {ready, "Ready to receive your company’s footage."},
      {AgentStatus::fallback().message, "Enable receiving to get started."},
      {str(AgentStatus::pausedMessage), "Receiving is paused."},
      {applyStatusOverrides(record, on, false, now).message, "Allow Trellisant in Login Items to receive in the background."},
      {applyStatusOverrides(record, on, true, now + 46s).message, "The receiving helper is not responding. Restart receiving."},
      {readinessPassed(record).message,
       "Folder access and device connection checked. Provider downloads still require connected storage accounts."},
      {failureOf([&] { testReadiness(on, false, false, {}); }), "Sign in to test your device."},
      {str(ReceivingControl::folderCheckedNotice), "Download folder checked and saved."},
      {str(ReceivingControl::folderChangedNotice),
       "Folder saved. Enable receiving when you are ready. Existing files stay in their original folder."},
      {str(ReceivingControl::receivingOnNotice), "Receiving is on."},
      {str(ReceivingControl::signInFirstMessage), "Sign in before enabling receiving."},
      {str(kBrowserFailedMessage), "Could not open your browser. Check your default browser and try again."},
      {str(app::DialogFolderChooser::prompt), "Use this folder"},
      {str(app::DialogFolderChooser::message),
       "Footage will download directly to this folder. External disks must stay connected."},
      {notifications, "Notifications cannot be shown because no notification service is running on this desktop."},
  };
  for (const auto& [text, expected] : said) EXPECT_EQ(text, expected);

  for (const char* expected :
       {"Trellisant", "Downloads", "Settings", "Development build", "Your company’s footage, delivered to this computer.",
        "Make this computer ready for your next handoff.", "Open your company website",
        "Sign in, choose a folder, and enable automatic receiving.", "Sign in to Trellisant",
        "Complete sign in in your browser", "Cancel sign in", "Choose download folder", "Enable receiving",
        "A quieter way to hand off footage",
        "When an authorized colleague sends footage, this computer will download its own copy. You can close this window.",
        "No destination selected", "Pause receiving", "Download folder", "Choose a local or external disk",
        "Choosing folder…", "Choose folder",
        "Choosing a different folder pauses receiving. Cancel keeps your current folder.", "Overnight availability",
        "Keep this computer available overnight",
        "Prevents idle sleep while waiting on power. Your screen can stay locked. Keep the lid open.", "From 22:00",
        "Until 9:00", "Receiving preferences", "Allow downloads on battery", "Bandwidth limit", "Unlimited",
        "Mbps, 0 for unlimited", "Allow completion notifications", "Connection",
        "Sign in opens your Trellisant account in your browser.", "Test readiness", "Background settings",
        "Sign out of this computer", "Trellisant is receiving", "Receiving is paused", "Open Trellisant",
        "Stop receiving and quit"})
    EXPECT_TRUE(shown.contains(QString::fromUtf8(expected))) << expected;
  EXPECT_TRUE(shown.contains(QString::fromStdString(str(AppConfiguration::version()) + " • Linux")));
}

}  // namespace
