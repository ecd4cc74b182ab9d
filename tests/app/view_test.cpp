// The app around the model: the menu moves into the window where the desktop shows no tray,
// one quit command, one instance, and the desktop's handler for trellisant:// addresses.
#include <gtest/gtest.h>

#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "scheme_handler.h"
#include "single_instance.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

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
