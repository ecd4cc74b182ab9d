#include <gtest/gtest.h>

#include <thread>

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>

#include "app_fakes.h"
#include "app_scene.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

class FakeSchemeHandler : public app::SchemeHandler {
 public:
  bool ensure() override {
    thread = std::this_thread::get_id();
    ++calls;
    return true;
  }
  std::atomic<int> calls{0};
  std::thread::id thread;
};

class AppSceneTest : public AppModelTest {
 protected:
  // Signed in, a folder chosen and receiving on, with the agent registered.
  std::unique_ptr<app::AppScene> receivingScene() {
    receiving();
    auto made = services();
    made.trayCheckInterval = 10ms;
    made.schemeHandler = schemeHandler;
    auto scene = std::make_unique<app::AppScene>(std::move(made));
    scene->showWindow();
    return scene;
  }

  std::shared_ptr<FakeSchemeHandler> schemeHandler = std::make_shared<FakeSchemeHandler>();
};

TEST_F(AppSceneTest, WithoutATrayTheWindowCarriesTheMenuAndClosingItLeavesReceivingOn) {
  auto scene = receivingScene();
  auto& window = scene->window();
  QToolButton* button = window.view()->menuButton();
  ASSERT_TRUE(button->isVisible());
  EXPECT_EQ(button->menu()->actions(), scene->tray().menu()->actions()) << "the tray menu's own items";
  EXPECT_FALSE(scene->tray().icon()->isVisible());
  ASSERT_TRUE(waitUntil([&] { return schemeHandler->calls == 1; }));
  EXPECT_NE(schemeHandler->thread, std::this_thread::get_id()) << "file work stays off the UI thread";

  window.close();
  EXPECT_EQ(quits, 1) << "closing the window ends the process";
  EXPECT_TRUE(preferencesOnDisk().receiving) << "while the agent goes on receiving";
  EXPECT_EQ(loginItem->unregistrations(), 0);

  // A tray appears: the menu moves there, and closing the window only hides it.
  tray = true;
  scene->showWindow();
  ASSERT_TRUE(waitUntil([&] { return scene->tray().icon()->isVisible(); }));
  EXPECT_FALSE(button->isVisible());
  window.close();
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(window.isHidden());

  // It goes away while the window is hidden: the window comes back, carrying the menu.
  tray = false;
  ASSERT_TRUE(waitUntil([&] { return window.isVisible(); }));
  EXPECT_TRUE(button->isVisible());
  EXPECT_FALSE(scene->tray().icon()->isVisible());
}

TEST_F(AppSceneTest, CtrlQStopsReceivingAndQuitsFromAnyWindowDialogsIncluded) {
  tray = true;
  auto scene = receivingScene();
  EXPECT_EQ(scene->tray().quitAction()->text(), "Stop receiving and quit");
  EXPECT_EQ(scene->tray().quitAction()->shortcut(), QKeySequence("Ctrl+Q"));

  QTest::keyClick(&scene->window(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_FALSE(preferencesOnDisk().receiving);
  EXPECT_EQ(loginItem->unregistrations(), 1);

  // A window-modal dialog, as the app opens its dialogs, blocks the window's own shortcuts.
  auto* dialog = new app::BackgroundDialog(scene->model(), &scene->window());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
  QTest::keyClick(dialog, Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 2; }));
  EXPECT_EQ(loginItem->unregistrations(), 2);
  dialog->close();
}

}  // namespace
