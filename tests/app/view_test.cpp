// The window and the app around it: the next step follows the model, the menu moves into the
// window where the desktop shows no tray, one quit command, one instance.
#include <gtest/gtest.h>

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "single_instance.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

TEST_F(AppModelTest, TheWindowsNextStepFollowsTheModel) {
  startCompany();
  auto view = std::make_unique<app::MainView>(makeModel());
  auto button = [&](const char* text) { return visibleButton(view.get(), text); };
  button("Sign in to Trellisant")->click();
  ASSERT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }));
  EXPECT_FALSE(button("Complete sign in in your browser")->isEnabled()) << "while the sign-in waits";
  button("Cancel sign in")->click();
  ASSERT_TRUE(waitUntil([&] { return !model->busy() && button("Sign in to Trellisant"); }));

  Vault::save(company->issueCredentials(1h, true));
  view.reset();
  view = std::make_unique<app::MainView>(makeModel());
  button("Choose download folder")->click();
  ASSERT_TRUE(waitUntil([&] { return chooser->done != nullptr; }));
  EXPECT_FALSE(button("Choose download folder")->isEnabled()) << "while choosing";
  chooser->answer(folder("Footage"));
  ASSERT_TRUE(waitUntil([&] { return button("Enable receiving") && !button("Choose download folder"); }));
  button("Enable receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return button("Pause receiving") && !button("Enable receiving") && model->serviceReady(); }));
  EXPECT_TRUE(Preferences::load().receiving);
  button("Pause receiving")->click();
  EXPECT_FALSE(Preferences::load().receiving);
  EXPECT_EQ(model->status().state, "paused") << "the window's pause refreshes";
  EXPECT_EQ(loginItem->unregistrations, 0) << "the agent stays registered and pauses itself";
}

class SceneTest : public AppModelTest {
 protected:
  // Signed in, a folder chosen and receiving on, with the agent registered.
  std::unique_ptr<app::AppScene> receivingScene() {
    receiving();
    auto made = services();
    made.trayCheckInterval = 10ms;
    auto scene = std::make_unique<app::AppScene>(std::move(made));
    scene->showWindow();
    return scene;
  }
};

TEST_F(SceneTest, WithoutATrayTheWindowCarriesTheMenuAndClosingItLeavesReceivingOn) {
  auto scene = receivingScene();
  auto& window = scene->window();
  QToolButton* button = window.view()->menuButton();
  ASSERT_TRUE(button->isVisible() && !scene->tray().icon()->isVisible());
  EXPECT_EQ(button->menu()->actions(), scene->tray().menu()->actions()) << "the tray menu's own items";
  window.close();
  EXPECT_EQ(quits, 1) << "closing the window ends the process";
  EXPECT_TRUE(Preferences::load().receiving) << "while the agent goes on receiving";
  EXPECT_EQ(loginItem->unregistrations, 0);

  // A tray appears: the menu moves there, and closing the window only hides it.
  tray = true;
  scene->showWindow();
  ASSERT_TRUE(waitUntil([&] { return scene->tray().icon()->isVisible() && !button->isVisible(); }));
  window.close();
  EXPECT_TRUE(quits == 1 && window.isHidden());
  // It goes away while the window is hidden: the window comes back, carrying the menu.
  tray = false;
  EXPECT_TRUE(waitUntil([&] { return window.isVisible() && button->isVisible(); }));
}

TEST_F(SceneTest, CtrlQStopsReceivingAndQuitsFromAnyWindowDialogsIncluded) {
  tray = true;
  auto scene = receivingScene();
  QTest::keyClick(&scene->window(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_FALSE(Preferences::load().receiving);
  EXPECT_EQ(loginItem->unregistrations, 1);
  // A window-modal dialog, as the app opens its dialogs, blocks the window's own shortcuts.
  app::BackgroundDialog dialog(scene->model(), &scene->window());
  dialog.open();
  QTest::keyClick(&dialog, Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 2; }));
  EXPECT_EQ(loginItem->unregistrations, 2);
}

TEST(SingleInstanceTest, ASecondInstanceHandsItsAddressesToTheFirst) {
  TempHome home;
  QString path = app::SingleInstance::defaultPath();
  EXPECT_EQ(path.toStdString(), (home.root() / "runtime" / "com.trellisant.app").string()) << "not in /tmp";
  app::SingleInstance(path).becomePrimary();  // an instance that ended
  app::SingleInstance first(path);
  EXPECT_FALSE(first.handOff({"trellisant://oauth/callback"}, 200)) << "nobody takes it";
  ASSERT_TRUE(first.becomePrimary()) << "an ended instance's lock and socket are taken over";
  QStringList urls;
  int shows = 0;
  QObject::connect(&first, &app::SingleInstance::urlReceived, [&](const QString& url) { urls << url; });
  QObject::connect(&first, &app::SingleInstance::activationRequested, [&] { ++shows; });
  app::SingleInstance second(path);
  EXPECT_FALSE(second.becomePrimary()) << "the lock belongs to the first";
  const QStringList sent = {"trellisant://oauth/callback?code=c%20d&state=s", "trellisant://other"};
  ASSERT_TRUE(second.handOff(sent));
  ASSERT_TRUE(waitUntil([&] { return urls.size() == 2; }));
  EXPECT_TRUE(urls == sent && shows == 0);
  ASSERT_TRUE(second.handOff({}));
  EXPECT_TRUE(waitUntil([&] { return shows == 1; })) << "a plain second start shows the window";
}

}  // namespace
