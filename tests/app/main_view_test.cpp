#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLineEdit>
#include <QProgressBar>

#include "app_fakes.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "sidebar.h"
#include "view_support.h"
#include "widgets.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

class MainViewTest : public AppModelTest {
 protected:
  void TearDown() override {
    view.reset();
    if (listener >= 0) ::close(listener);
  }

  app::MainView& makeView() {
    makeModel();
    view = std::make_unique<app::MainView>(*model);
    return *view;
  }

  // Signed in, a folder chosen, receiving on and the agent registered, answering `status`.
  app::MainView& receivingView(const AgentStatus& status) {
    receiving();
    agentAnswer = status;
    auto& made = makeView();
    EXPECT_TRUE(waitUntil([&] { return model->status() == status; }));
    return made;
  }

  // A loopback server that accepts connections and never answers, so a sign-in stays busy.
  std::string silentServer() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }

  QStringList texts() { return visibleTexts(view.get()); }
  QAbstractButton* button(const QString& text) { return visibleButton(view.get(), text); }

  std::unique_ptr<app::MainView> view;
  int listener = -1;
};

TEST_F(MainViewTest, SignedOut) {
  writeStatusFile(AgentStatus{"ready", "Ready for footage.", "", 0, 0, now});
  auto& view = makeView();
  EXPECT_EQ(labelText(&view, "sectionTitle"), "Downloads");
  EXPECT_EQ(labelText(&view, "sectionSubtitle"), "Your company’s footage, delivered to this computer.");
  EXPECT_EQ(labelText(&view, "statusTitle"), "Connect your company") << "whatever the agent's state";
  EXPECT_EQ(labelText(&view, "statusMessage"), "Sign in, choose a folder, and enable automatic receiving.");
  ASSERT_TRUE(button("Sign in to Trellisant"));
  EXPECT_TRUE(button("Sign in to Trellisant")->isEnabled());
  for (const char* hidden : {"Cancel sign in", "Choose download folder", "Enable receiving", "Pause receiving"})
    EXPECT_FALSE(button(hidden)) << hidden;
  EXPECT_TRUE(texts().contains("A quieter way to hand off footage"));
  EXPECT_TRUE(texts().contains("When an authorized colleague sends footage, this computer will download its own copy. "
                               "You can close this window."));
  EXPECT_EQ(labelText(&view, "folderLabel"), "No destination selected");
  EXPECT_EQ(labelText(&view, "errorBanner"), "") << "no banner without an error";
  EXPECT_TRUE(texts().contains("Development build"));
  EXPECT_TRUE(texts().contains("0.1.2 • Linux"));
}

TEST_F(MainViewTest, SigningIn) {
  makeView();
  model->changePreferences([&](Preferences& p) { p.server = silentServer(); });
  model->signIn();
  ASSERT_TRUE(model->busy());
  EXPECT_FALSE(button("Sign in to Trellisant"));
  auto* waiting = button("Complete sign in in your browser");
  ASSERT_TRUE(waiting);
  EXPECT_FALSE(waiting->isEnabled());
  ASSERT_TRUE(button("Cancel sign in"));
  EXPECT_TRUE(button("Cancel sign in")->isEnabled());
}

TEST_F(MainViewTest, NoFolder) {
  storeCredentials(true);
  makeView();
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Receiving is paused");
  EXPECT_EQ(labelText(view.get(), "statusMessage"), "Receiving is paused.");
  auto* choose = button("Choose download folder");
  ASSERT_TRUE(choose);
  EXPECT_TRUE(choose->isEnabled());
  EXPECT_FALSE(button("Enable receiving"));
  EXPECT_FALSE(button("Sign in to Trellisant"));

  choose->click();
  ASSERT_TRUE(waitUntil([&] { return chooser->open(); }));
  EXPECT_FALSE(button("Choose download folder")->isEnabled()) << "disabled while choosing";
  chooser->answer(std::nullopt);
  EXPECT_TRUE(button("Choose download folder")->isEnabled());
}

TEST_F(MainViewTest, ReceivingOff) {
  storeCredentials(true);
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) { p.setDestination(root); });
  makeView();
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Receiving is paused");
  ASSERT_TRUE(button("Enable receiving"));
  EXPECT_FALSE(button("Pause receiving"));
  EXPECT_EQ(labelText(view.get(), "folderLabel"), QString::fromStdString(model->preferences().destinationLabel));

  button("Enable receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return model->preferences().receiving; }));
  EXPECT_FALSE(button("Enable receiving")) << "the card moves on by itself";
  EXPECT_TRUE(button("Pause receiving"));
}

TEST_F(MainViewTest, Ready) {
  receivingView(AgentStatus{"ready", "Ready to receive your company’s footage.", "", 0, 0, now});
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Ready to receive");
  EXPECT_EQ(labelText(view.get(), "statusMessage"), "Ready to receive your company’s footage.");
  for (const char* hidden : {"Sign in to Trellisant", "Choose download folder", "Enable receiving"})
    EXPECT_FALSE(button(hidden)) << hidden;
  ASSERT_TRUE(button("Pause receiving"));
  button("Pause receiving")->click();
  EXPECT_FALSE(preferencesOnDisk().receiving);
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Receiving is paused") << "the window's pause refreshes";
}

TEST_F(MainViewTest, DownloadingWithProgress) {
  receivingView(AgentStatus{"downloading", "Downloading 2 files.", "Acme / Spring launch / Day 1",
                            1'500'000'000, 4'000'000'000, now});
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Downloading footage");
  EXPECT_EQ(labelText(view.get(), "transfer"), "Acme / Spring launch / Day 1");
  EXPECT_EQ(labelText(view.get(), "bytes"), "1.5 GB of 4.0 GB");
  auto* bar = view->findChild<QProgressBar*>();
  ASSERT_TRUE(bar && bar->isVisibleTo(view.get()));
  EXPECT_EQ(bar->value(), bar->maximum() * 3 / 8);
  EXPECT_FALSE(texts().contains("A quieter way to hand off footage"));
}

TEST_F(MainViewTest, DownloadingWithoutATransferShowsTheQuietState) {
  receivingView(AgentStatus{"downloading", "Downloading.", "", 10, 20, now});
  EXPECT_TRUE(texts().contains("A quieter way to hand off footage"));
  EXPECT_EQ(labelText(view.get(), "bytes"), "");
}

TEST_F(MainViewTest, NeedsAttentionWithAnErrorBanner) {
  receivingView(AgentStatus{"needs_attention", "Your download disk is full. Free up space to resume.", "", 0, 0, now});
  loginItem->failRegister("Unit file is masked.");
  model->enable();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Check your device");
  EXPECT_EQ(labelText(view.get(), "statusMessage"), "Your download disk is full. Free up space to resume.");
  EXPECT_EQ(labelText(view.get(), "errorBanner"), "Background access needs attention. Unit file is masked.");

  // Switching sections keeps the banner.
  view->findChildren<app::SectionButton*>().at(1)->click();
  EXPECT_EQ(model->selected(), "Settings");
  EXPECT_EQ(labelText(view.get(), "errorBanner"), "Background access needs attention. Unit file is masked.");
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "") << "the Downloads section is gone";
}

TEST_F(MainViewTest, SettingsSection) {
  storeCredentials(true);
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) { p.setDestination(root); });
  makeView();
  model->setSelected("Settings");
  EXPECT_EQ(labelText(view.get(), "sectionTitle"), "Settings");
  EXPECT_EQ(labelText(view.get(), "sectionSubtitle"), "Make this computer ready for your next handoff.");
  auto shown = texts();
  for (const char* text :
       {"Download folder", "Overnight availability", "Receiving preferences", "Connection", "Choose folder",
        "Keep this computer available overnight",
        "Prevents idle sleep while waiting on power. Your screen can stay locked. Keep the lid open.",
        "Allow downloads on battery", "Bandwidth limit", "Mbps, 0 for unlimited", "Allow completion notifications",
        "Sign in opens your Trellisant account in your browser.", "Test readiness", "Background settings",
        "Sign out of this computer", "Enable receiving", "https://trellisant.example"})
    EXPECT_TRUE(shown.contains(text)) << text;
  EXPECT_FALSE(shown.contains("Choosing a different folder pauses receiving. Cancel keeps your current folder."))
      << "only while receiving";
  EXPECT_TRUE(shown.contains(QString::fromStdString(model->preferences().timeZone)));

  auto steppers = view->findChildren<app::Stepper*>();
  ASSERT_EQ(steppers.size(), 2);
  EXPECT_EQ(steppers[0]->text(), "From 22:00");
  EXPECT_EQ(steppers[1]->text(), "Until 9:00");
  EXPECT_EQ(steppers[0]->minimum(), 0);
  EXPECT_EQ(steppers[0]->maximum(), 23);
  steppers[0]->stepUp();
  EXPECT_EQ(preferencesOnDisk().startHour, 23) << "every change saves";

  auto* bandwidth = view->findChild<QLineEdit*>("bandwidth");
  ASSERT_TRUE(bandwidth);
  EXPECT_EQ(bandwidth->placeholderText(), "Unlimited");
  bandwidth->setText("-5");
  emit bandwidth->editingFinished();
  EXPECT_EQ(model->preferences().bandwidthMbps, 0);
  EXPECT_EQ(preferencesOnDisk().bandwidthMbps, 0);
  EXPECT_EQ(bandwidth->text(), "0");
  bandwidth->setText("12.5");
  emit bandwidth->editingFinished();
  EXPECT_EQ(preferencesOnDisk().bandwidthMbps, 12.5);

  auto* battery = qobject_cast<app::ToggleSwitch*>(button("Allow downloads on battery"));
  ASSERT_TRUE(battery);
  EXPECT_FALSE(battery->isChecked());
  battery->click();
  EXPECT_TRUE(preferencesOnDisk().allowBattery);

  // Busy disables the folder and readiness buttons; choosing renames the folder button.
  model->testReadiness();
  EXPECT_FALSE(button("Test readiness")->isEnabled());
  EXPECT_FALSE(button("Choose folder")->isEnabled());
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));
  EXPECT_TRUE(button("Test readiness")->isEnabled());
  model->chooseFolder();
  ASSERT_TRUE(button("Choosing folder…"));
  EXPECT_FALSE(button("Choosing folder…")->isEnabled());
  EXPECT_FALSE(button("Enable receiving")->isEnabled());
  chooser->answer(std::nullopt);
  EXPECT_TRUE(button("Choose folder")->isEnabled());

  model->enable();
  ASSERT_TRUE(waitUntil([&] { return model->preferences().receiving; }));
  EXPECT_TRUE(texts().contains("Choosing a different folder pauses receiving. Cancel keeps your current folder."));
  EXPECT_FALSE(button("Enable receiving"));
}

TEST_F(MainViewTest, SignedOutSettingsHaveNoSignOut) {
  makeView();
  model->setSelected("Settings");
  EXPECT_FALSE(button("Sign out of this computer"));
  EXPECT_FALSE(button("Enable receiving"));
  EXPECT_TRUE(texts().contains("Choose a local or external disk"));
}

TEST_F(MainViewTest, BackgroundSettingsSwitchTheAgentAlone) {
  makeView();
  model->setSelected("Settings");
  button("Background settings")->click();
  auto* dialog = view->findChild<app::BackgroundDialog*>();
  ASSERT_TRUE(dialog);
  // The switch with this text, once the login item has answered.
  auto toggle = [&](const QString& text) {
    QAbstractButton* found = nullptr;
    waitUntil([&] { return (found = visibleButton(dialog, text)) && found->isEnabled(); });
    return found && found->isEnabled() ? found : nullptr;
  };
  ASSERT_TRUE(toggle("Turn on background receiving"));
  EXPECT_TRUE(visibleTexts(dialog).contains("Not set to start at login"));
  EXPECT_TRUE(visibleTexts(dialog).contains("Starts at login through the fake unit."));
  toggle("Turn on background receiving")->click();
  ASSERT_TRUE(toggle("Turn off background receiving"));
  EXPECT_EQ(loginItem->registrations(), 1);
  EXPECT_TRUE(model->serviceReady());
  EXPECT_FALSE(model->preferences().receiving) << "the preference is the user's, not the dialog's";

  loginItem->failUnregister("Failed to disable unit.");
  toggle("Turn off background receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  EXPECT_EQ(model->error(), "Failed to disable unit.");
  EXPECT_TRUE(toggle("Turn off background receiving"));
  dialog->close();
}

TEST_F(MainViewTest, TheWindowRemembersItsSizeAndPosition) {
  makeModel();
  {
    app::MainWindow window(*model);
    EXPECT_EQ(window.windowTitle(), "Trellisant");
    EXPECT_EQ(window.minimumSize(), QSize(820, 560));
    EXPECT_EQ(window.size(), QSize(920, 660));
    window.show();
    window.setGeometry(140, 90, 1010, 705);
    window.close();
  }
  app::MainWindow again(*model);
  EXPECT_EQ(again.geometry(), QRect(140, 90, 1010, 705));
}

}  // namespace
