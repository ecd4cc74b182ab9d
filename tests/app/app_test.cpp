// What the app adds to the receiving operations and the sign-in: their threads (the login item is
// never asked on the UI thread; the fixture checks), the folder chooser, busy, which callback
// finishes a sign-in (against the sandbox company server over loopback TLS) and what ends its
// wait; the menu moving into the window where the desktop shows no tray, one quit command, one
// instance, the desktop's handler for trellisant:// addresses; settings trellisantctl changes
// meanwhile; and every fixed text in the state that shows it, with the window's next step.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <QAccessible>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include "agent.h"
#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "control/readiness.h"
#include "history/received_history.h"
#include "main_view.h"
#include "main_window.h"
#include "scheme_handler.h"
#include "settings/app_configuration.h"
#include "single_instance.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

TEST_F(AppModelTest, AnotherFolderStopsReceivingTheSameOneKeepsIt) {
  auto current = receiving();
  auto& model = makeModel();
  model.chooseFolder();
  EXPECT_TRUE(chooserStart == current && activations == 1) << "at the current folder, the app in front";
  model.chooseFolder();
  EXPECT_EQ(choosers, 1) << "no second chooser";
  std::filesystem::create_directory_symlink(current, home.root() / "link");
  answer(home.root() / "link");
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(model.folderNotice(), ReceivingControl::folderCheckedNotice.data());
  EXPECT_TRUE(Preferences::load().receiving);

  loginItem->failUnregister("Unit busy");
  model.chooseFolder();
  answer(folder("Other"));
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(model.error(), "Unit busy");
  EXPECT_FALSE(Preferences::load().receiving) << "receiving stays off, as it went off first";
  EXPECT_EQ(Preferences::load().rootPath(), std::filesystem::weakly_canonical(current));

  loginItem->failUnregister(std::nullopt);
  model.chooseFolder();
  answer(folder("Elsewhere"));
  EXPECT_TRUE(model.choosingFolder()) << "still applying while the agent is unregistered";
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(loginItem->unregistrations, 2);
  EXPECT_EQ(model.folderNotice(), ReceivingControl::folderChangedNotice.data());
  EXPECT_EQ(Preferences::load().rootPath(), std::filesystem::weakly_canonical(home.root() / "Elsewhere"));
  EXPECT_EQ(model.status().stateWord(), "paused");
}

TEST_F(AppModelTest, SettingsChangedByTrellisantctlMeanwhileAreKeptAndShown) {
  auto& model = makeModel();
  ASSERT_EQ(QProcess::execute(TRELLISANT_CTL, {"bandwidth", "12.5"}), 0);
  model.changePreferences([](Preferences& p) { p.overnight = false; });
  EXPECT_TRUE(Preferences::load().bandwidthMbps == 12.5 && !Preferences::load().overnight) << "both edits kept";
  ASSERT_EQ(QProcess::execute(TRELLISANT_CTL, {"battery", "on"}), 0);
  model.refresh();
  EXPECT_TRUE(model.preferences().allowBattery && model.preferences().bandwidthMbps == 12.5);
}

TEST_F(AppModelTest, TheReadinessTestEndsBusyWhateverItsOutcome) {
  auto run = [&](app::AppModel& model) {
    model.testReadiness();
    EXPECT_TRUE(model.busy());
    model.chooseFolder();
    EXPECT_EQ(choosers, 0) << "no chooser while busy";
    EXPECT_TRUE(waitUntil([&] { return !model.busy(); }, 20s));
    return model.error();
  };
  EXPECT_FALSE(run(makeModel()).isEmpty()) << "signed out";
  receiving();
  EXPECT_EQ(run(makeModel()), "");
  EXPECT_EQ(model->status(), readinessPassed(model->status()));
  // Without the agent the server must take a heartbeat; nobody listens at this address.
  loginItem->set(LoginItemStatus::notRegistered);
  makeModel().changePreferences([](Preferences& p) { p.server = "http://127.0.0.1:9"; });
  EXPECT_FALSE(run(*model).isEmpty());
}

class SignInModelTest : public AppModelTest {
 protected:
  // Starts a sign-in and returns where the sandbox's authorization page sends the browser.
  QString signInUntilTheCallback() {
    startCompany();
    makeModel().signIn();
    EXPECT_TRUE(model->busy() && waitUntil([&] { return model->awaitingSignIn(); }, 10s));
    return QString::fromStdString(locationOf(opened()));
  }
  // Waits for the sign-in to end; its error.
  QString outcome() {
    EXPECT_TRUE(waitUntil([&] { return !model->busy(); }, 10s));
    return model->error();
  }
};

TEST_F(SignInModelTest, OnlyTheMatchingCallbackFinishesTheSignIn) {
  QString callback = signInUntilTheCallback();
  ASSERT_TRUE(callback.startsWith("trellisant://oauth/callback?")) << callback.toStdString();
  model->receiveSignIn(QString(callback).replace(QRegularExpression("state=[^&]*"), "state=stale"));
  settle(50ms);
  EXPECT_TRUE(model->awaitingSignIn() && model->busy()) << "another sign-in's callback is ignored";
  model->receiveSignIn(callback);
  EXPECT_FALSE(model->awaitingSignIn()) << "the continuation is taken at once";
  EXPECT_EQ(outcome(), "");
  EXPECT_GE(activations, 2) << "sign-in and the accepted callback bring the app to the front";
  ASSERT_TRUE(model->signedIn() && Vault::read() && Vault::read()->deviceKey);
  auto before = company->requests().size();
  model->receiveSignIn(callback);
  settle();
  EXPECT_EQ(company->requests().size(), before) << "a second callback finds nothing waiting";
}

TEST_F(SignInModelTest, CancelTheTimeLimitAndAFailedBrowserEndTheWait) {
  QString callback = signInUntilTheCallback();
  model->cancelSignIn();
  EXPECT_EQ(outcome(), "Sign in was canceled. You can try again.");
  model->receiveSignIn(callback);
  settle();
  EXPECT_FALSE(model->signedIn()) << "a callback after the cancel is ignored";
  for (const auto& request : company->requests()) EXPECT_EQ(request.path().find("/token"), std::string::npos);

  signInTimeLimit = 300ms;
  makeModel().signIn();
  EXPECT_EQ(outcome(), "Sign in was canceled. You can try again.") << "the time limit";
  browserWorks = false;
  model->signIn();
  EXPECT_EQ(outcome(), kBrowserFailedMessage.data());
}

// Signed in, a folder chosen and receiving on, the agent registered, the window shown.
std::unique_ptr<app::AppScene> receivingScene(AppStage& stage) {
  stage.receiving();
  auto scene = std::make_unique<app::AppScene>(stage.parts());
  EXPECT_TRUE(waitUntil([&] { return scene->model().signInKnown(); }));
  scene->showWindow();
  return scene;
}

TEST_F(AppModelTest, WithoutATrayTheWindowCarriesTheMenuAndClosingItLeavesReceivingOn) {
  auto scene = receivingScene(*this);
  auto& window = scene->window();
  QToolButton* button = window.view()->menuButton();
  ASSERT_TRUE(button->isVisible() && !scene->tray().icon()->isVisible());
  EXPECT_EQ(button->menu()->actions(), scene->tray().menu()->actions()) << "the tray menu's own items";
  window.close();
  EXPECT_EQ(quits, 1) << "closing the window ends the process";
  EXPECT_TRUE(Preferences::load().receiving && loginItem->unregistrations == 0) << "while the agent goes on receiving";
  tray = true;
  EXPECT_TRUE(waitUntil([&] { return scene->tray().icon()->isVisible() && !button->isVisible(); })) << "a tray appears";
}

TEST_F(AppModelTest, CtrlQStopsReceivingAndQuitsFromAnyWindowDialogsIncluded) {
  tray = true;
  auto scene = receivingScene(*this);
  QTest::keyClick(&scene->window(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_TRUE(!Preferences::load().receiving && loginItem->unregistrations == 1);
  // A window-modal dialog, as the app opens its dialogs, blocks the window's own shortcuts.
  app::BackgroundDialog dialog(scene->model(), &scene->window());
  dialog.open();
  QTest::keyClick(&dialog, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(waitUntil([&] { return quits == 2 && loginItem->unregistrations == 2; }));
}

TEST_F(AppModelTest, TheWindowAndTrellisantctlListTheSameReceivedDeliveriesAndOpenTheirFolders) {
  ReceivedHistory history;
  int n = 0;
  for (auto receipt : {ReceiptState::none, ReceiptState::failed, ReceiptState::written}) {
    const std::string name = "Day " + std::to_string(++n);
    history.completed({"d" + std::to_string(n), name, "Acme", "Feature", folder(name), n, n * 1000, n, now, now, receipt});
  }
  auto scene = receivingScene(*this);
  QProcess ctl;
  ctl.start(TRELLISANT_CTL, {"history", "--json"});
  ASSERT_TRUE(ctl.waitForFinished(20000));
  Json listed = Json::parse(ctl.readAllStandardOutput().toStdString());
  Json shown = Json::array();
  for (const auto& delivery : scene->model().received()) shown.push_back(delivery.toJson());
  EXPECT_EQ(shown, listed);
  ASSERT_EQ(shown.size(), 3u);
  // Newest first: Day 3's receipt written, Day 2's not, Day 1's unknown; read out as shown.
  auto details = scene->window().findChildren<QLabel*>("receivedDetails");
  ASSERT_EQ(details.size(), 3);
  EXPECT_TRUE(details[0]->text().endsWith(" · receipt")) << details[0]->text().toStdString();
  EXPECT_TRUE(details[1]->text().endsWith(" · no receipt")) << details[1]->text().toStdString();
  EXPECT_FALSE(details[2]->text().contains("receipt")) << details[2]->text().toStdString();
  auto buttons = scene->window().findChildren<QPushButton*>("openReceived");
  ASSERT_EQ(buttons.size(), 3);
  EXPECT_EQ(buttons[1]->accessibleName(), "Show “Day 2” in its folder");
  EXPECT_EQ(buttons[1]->focusPolicy() & Qt::TabFocus, Qt::TabFocus) << "reached with the Tab key";
  buttons[1]->click();
  EXPECT_EQ(openedFolders, std::vector{folder("Day 2")});
  EXPECT_EQ(QAccessible::queryAccessibleInterface(details[1])->text(QAccessible::Name), details[1]->text());

}

TEST_F(AppModelTest, ASecondInstanceHandsItsAddressesToTheFirst) {
  QString path = app::SingleInstance::defaultPath();
  EXPECT_EQ(path.toStdString(), (home.root() / "runtime" / "com.trellisant.app").string()) << "not in /tmp";
  app::SingleInstance(path).becomePrimary();  // an instance that ended
  app::SingleInstance first(path), second(path);
  EXPECT_FALSE(first.handOff({"trellisant://oauth/callback"}, 200)) << "nobody takes it";
  ASSERT_TRUE(first.becomePrimary()) << "an ended instance's lock and socket are taken over";
  EXPECT_FALSE(second.becomePrimary()) << "the lock belongs to the first";
  QSignalSpy urls(&first, &app::SingleInstance::urlReceived), shows(&first, &app::SingleInstance::activationRequested);
  const QStringList sent = {"trellisant://oauth/callback?code=c%20d&state=s", "trellisant://other"};
  ASSERT_TRUE(second.handOff(sent) && waitUntil([&] { return urls.size() == 2; }));
  EXPECT_TRUE(urls.at(0).at(0) == sent[0] && urls.at(1).at(0) == sent[1] && shows.empty());
  ASSERT_TRUE(second.handOff({}));
  EXPECT_TRUE(waitUntil([&] { return shows.size() == 1; })) << "a plain second start shows the window";
}

TEST_F(AppModelTest, BecomingTheTrellisantHandlerKeepsTheRestOfTheUsersMimeappsList) {
  app::DesktopSchemeHandler::Folders folders{home.root() / "config", {}, home.root() / "data", {}, {}, {}};
  std::filesystem::create_directories(folders.configHome);
  writeText(folders.configHome / "mimeapps.list", "# mine\n[Default Applications]\ntext/html=firefox.desktop\n"
            "x-scheme-handler/trellisant=other.desktop;\n\n[Added Associations]\nimage/png=eog.desktop;\n");
  app::DesktopSchemeHandler handler(std::filesystem::read_symlink("/proc/self/exe"), folders);
  EXPECT_TRUE(handler.ensure());
  EXPECT_EQ(readText(folders.configHome / "mimeapps.list"),
            "# mine\n[Default Applications]\nx-scheme-handler/trellisant=trellisant-handler.desktop\n"
            "text/html=firefox.desktop\n\n[Added Associations]\nimage/png=eog.desktop;\n");
  EXPECT_FALSE(handler.ensure()) << "the written entry runs this program";
}

// Every fixed sentence and label of the window, the tray menu, the receiving operations and the
// status record, each checked once here, character for character, in the state that shows it,
// while the window's next step is clicked through from signed out to receiving and paused.
// (The download, server, settings and sign-in flow sentences are checked by the tests of the
// behaviour that raises them.)
std::string str(std::string_view text) { return std::string(text); }

TEST_F(AppModelTest, FixedTexts) {
  startCompany();
  AgentStatus{AgentState::downloading, "Said.", "", 0, 0, now}.save();  // signed out, whatever the agent wrote
  makeModel().allowNotifications();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  const std::string notifications = model->error().toStdString();
  auto view = std::make_unique<app::MainView>(*model);
  auto title = [&] { return view->findChild<QLabel*>("statusTitle")->text(); };
  auto shows = [&](const QWidget* root, std::initializer_list<const char*> texts) {
    for (const char* text : texts) EXPECT_TRUE(shownTexts(root).contains(QString::fromUtf8(text))) << text;
  };
  // The next-step buttons the window shows, enabled or not; the shown button of a text.
  const QStringList steps = {"Sign in to Trellisant", "Complete sign in in your browser", "Cancel sign in",
                             "Choose download folder", "Enable receiving", "Pause receiving"};
  auto nextSteps = [&] {
    QStringList shown;
    for (const QString& text : shownTexts(view.get()))
      if (steps.contains(text)) shown << text;
    return shown.join(" + ").toStdString();
  };
  auto button = [&](const QString& text) {
    for (auto* shown : view->findChildren<QAbstractButton*>())
      if (shown->text() == text && shown->isVisibleTo(view.get())) return shown;
    throw std::runtime_error("no button " + text.toStdString());
  };

  ASSERT_EQ(nextSteps(), "Sign in to Trellisant");
  shows(view.get(), {"Trellisant", "Downloads", "Settings", "Development build", "Connect your company",
                     "Your company’s footage, delivered to this computer.", "Open your company website",
                     "Sign in, choose a folder, and enable automatic receiving.", "A quieter way to hand off footage",
                     "When an authorized colleague sends footage, this computer will download its own copy. "
                     "You can close this window.", "No destination selected"});
  EXPECT_TRUE(shownTexts(view.get()).contains(QString::fromStdString(str(AppConfiguration::version()) + " • Linux")));
  button("Sign in to Trellisant")->click();
  ASSERT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }));
  EXPECT_EQ(nextSteps(), "Complete sign in in your browser + Cancel sign in");
  EXPECT_FALSE(button("Complete sign in in your browser")->isEnabled());
  button("Cancel sign in")->click();
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));
  EXPECT_EQ(nextSteps(), "Sign in to Trellisant");

  model->setSelected(app::AppModel::Section::settings);
  EXPECT_TRUE(nextSteps().empty() && !shownTexts(view.get()).contains("Sign out of this computer"));
  shows(view.get(), {"Make this computer ready for your next handoff.", "Download folder", "Choose a local or external disk",
                     "Choose folder", "Overnight availability", "Keep this computer available overnight",
                     "Prevents idle sleep while waiting on power. Your screen can stay locked. Keep the lid open.",
                     "From 22:00", "Until 9:00", "Receiving preferences", "Allow downloads on battery", "Bandwidth limit",
                     "Unlimited", "Mbps, 0 for unlimited", "Allow completion notifications", "Connection",
                     "Sign in opens your Trellisant account in your browser.", "Test readiness", "Background settings"});
  model->chooseFolder();
  shows(view.get(), {"Choosing folder…"});
  answer(std::nullopt);

  // Signed in: a folder, then receiving, then a pause, each from the window's next step.
  Vault::save(company->issueCredentials(1h, true));
  view.reset();
  view = std::make_unique<app::MainView>(makeModel());
  EXPECT_EQ(nextSteps(), "Choose download folder");
  button("Choose download folder")->click();
  ASSERT_TRUE(waitUntil([&] { return choosers == 2; }));
  EXPECT_FALSE(button("Choose download folder")->isEnabled()) << "while choosing";
  answer(folder("Footage"));
  ASSERT_TRUE(waitUntil([&] { return !model->choosingFolder(); }));
  EXPECT_EQ(nextSteps(), "Enable receiving");
  button("Enable receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return nextSteps() == "Pause receiving" && model->serviceReady(); }));
  EXPECT_TRUE(Preferences::load().receiving);
  shows(app::TrayMenu(*model).menu(), {"Trellisant is receiving", "Open Trellisant", "Pause receiving",
                                       "Stop receiving and quit"});
  model->setSelected(app::AppModel::Section::settings);
  shows(view.get(), {"Choosing a different folder pauses receiving. Cancel keeps your current folder.",
                     "Sign out of this computer"});
  model->setSelected(app::AppModel::Section::downloads);
  button("Pause receiving")->click();
  EXPECT_TRUE(!Preferences::load().receiving && model->status().stateWord() == "paused") << "the window's pause refreshes";
  EXPECT_EQ(loginItem->unregistrations, 0) << "the agent stays registered and pauses itself";
  EXPECT_EQ(nextSteps(), "Enable receiving");
  shows(app::TrayMenu(*model).menu(), {"Receiving is paused", "Enable receiving"});

  // The agent's first pass, receiving, and the window's title for each state.
  ReceivingControl::edit([](Preferences& p) { p.receiving = true; p.overnight = false; p.allowBattery = true; });
  AgentParts parts;
  parts.controlService = false;
  Agent agent(parts);
  {
    std::jthread pass([&](std::stop_token stop) { agent.runPass(stop); });
    EXPECT_TRUE(waitUntil([] { return AgentStatus::load().is(AgentState::ready); }, 20s));
  }
  const std::string ready = AgentStatus::load().message;
  for (auto [state, expected] : {std::pair{"ready", "Ready to receive"}, {"downloading", "Downloading footage"},
                                 {"paused", "Receiving is paused"}, {"needs_attention", "Check your device"},
                                 {"setup", "Check your device"}}) {
    agentSays(AgentStatus{*parseAgentState(state), "Said.", "", 0, 0, now});
    model->refresh();
    ASSERT_TRUE(waitUntil([&] { return model->status().stateWord() == state; })) << state;
    EXPECT_EQ(title(), expected) << state;
  }

  const Preferences on = Preferences::load();  // receiving
  const AgentStatus record{AgentState::ready, "", "", 0, 0, now};
  const std::pair<std::string, std::string> said[] = {
      {ready, "Ready to receive your company’s footage."},
      {AgentStatus::fallback().message, "Enable receiving to get started."},
      {str(AgentStatus::pausedMessage), "Receiving is paused."},
      {applyStatusOverrides(record, on, false, now).message, "Allow Trellisant in Background settings to receive in the background."},
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
}

}  // namespace
