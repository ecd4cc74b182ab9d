// What the app adds to the receiving operations and the sign-in: their threads (the login item is
// never asked on the UI thread; the fixture checks), the folder chooser, busy, which callback
// finishes a sign-in (against the sandbox company server over loopback TLS) and what ends its
// wait; the menu moving into the window where the desktop shows no tray, one quit command, one
// instance, and the desktop's handler for trellisant:// addresses.
#include <gtest/gtest.h>

#include <QMenu>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include "api/http.h"
#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "control/readiness.h"
#include "main_view.h"
#include "main_window.h"
#include "scheme_handler.h"
#include "single_instance.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

QString text(std::string_view sentence) { return QString::fromUtf8(sentence.data(), sentence.size()); }

TEST_F(AppModelTest, AnotherFolderStopsReceivingTheSameOneKeepsIt) {
  auto current = receiving();
  auto& model = makeModel();
  auto choose = [&](std::optional<std::filesystem::path> folder) {
    model.chooseFolder();
    answer(std::move(folder));
  };
  model.chooseFolder();
  EXPECT_TRUE(chooserStart == current && activations == 1) << "at the current folder, the app in front";
  model.chooseFolder();
  EXPECT_EQ(choosers, 1) << "no second chooser";
  std::filesystem::create_directory_symlink(current, home.root() / "link");
  answer(home.root() / "link");
  EXPECT_EQ(model.folderNotice(), text(ReceivingControl::folderCheckedNotice));
  EXPECT_TRUE(Preferences::load().receiving);

  loginItem->failUnregister("Unit busy");
  choose(folder("Other"));
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(model.error(), "Unit busy");
  EXPECT_FALSE(Preferences::load().receiving) << "receiving stays off, as it went off first";
  EXPECT_EQ(Preferences::load().rootURL(), std::filesystem::weakly_canonical(current));

  loginItem->failUnregister(std::nullopt);
  choose(folder("Elsewhere"));
  EXPECT_TRUE(model.choosingFolder()) << "still applying while the agent is unregistered";
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(loginItem->unregistrations, 2);
  EXPECT_EQ(model.folderNotice(), text(ReceivingControl::folderChangedNotice));
  EXPECT_EQ(Preferences::load().rootURL(), std::filesystem::weakly_canonical(home.root() / "Elsewhere"));
  EXPECT_EQ(model.status().state, "paused");
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
    http::Request request;
    request.url = opened();
    return QString::fromStdString(http::perform(request).header("Location").value_or(""));
  }
  // Waits for the sign-in to end; its error.
  QString outcome() {
    EXPECT_TRUE(waitUntil([&] { return !model->busy(); }, 10s));
    return model->error();
  }
  const QString canceled = "Sign in was canceled. You can try again.";
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
  EXPECT_EQ(outcome(), canceled);
  model->receiveSignIn(callback);
  settle();
  EXPECT_FALSE(model->signedIn()) << "a callback after the cancel is ignored";
  for (const auto& request : company->requests()) EXPECT_EQ(request.path().find("/token"), std::string::npos);

  signInTimeLimit = 300ms;
  makeModel().signIn();
  EXPECT_EQ(outcome(), canceled);
  EXPECT_FALSE(model->awaitingSignIn());
  browserWorks = false;
  model->signIn();
  EXPECT_EQ(outcome(), QString::fromUtf8(kBrowserFailedMessage.data(), kBrowserFailedMessage.size()));
}

// Signed in, a folder chosen and receiving on, the agent registered, the window shown.
std::unique_ptr<app::AppScene> receivingScene(AppStage& stage) {
  stage.receiving();
  auto services = stage.services();
  services.trayCheckInterval = 10ms;
  auto scene = std::make_unique<app::AppScene>(std::move(services));
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
  ASSERT_TRUE(waitUntil([&] { return quits == 2; }));
  EXPECT_EQ(loginItem->unregistrations, 2);
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

}  // namespace
