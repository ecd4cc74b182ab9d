// The app around its window: the tray menu or, without a tray, the window carrying it; the
// one quit command; the single instance; the drawn symbols.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QImage>
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
#include "symbols.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

struct FakeSchemeHandler : app::SchemeHandler {
  bool ensure() override {
    thread = std::this_thread::get_id();
    return ++calls > 0;
  }
  std::atomic<int> calls{0};
  std::thread::id thread;
};

class SceneTest : public AppModelTest {
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

TEST_F(SceneTest, WithoutATrayTheWindowCarriesTheMenuAndClosingItLeavesReceivingOn) {
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
  EXPECT_TRUE(Preferences::load().receiving) << "while the agent goes on receiving";
  EXPECT_EQ(loginItem->unregistrations, 0);

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
}

TEST_F(SceneTest, CtrlQStopsReceivingAndQuitsFromAnyWindowDialogsIncluded) {
  tray = true;
  auto scene = receivingScene();
  EXPECT_EQ(scene->tray().quitAction()->shortcut(), QKeySequence("Ctrl+Q"));
  QTest::keyClick(&scene->window(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_FALSE(Preferences::load().receiving);
  EXPECT_EQ(loginItem->unregistrations, 1);

  // A window-modal dialog, as the app opens its dialogs, blocks the window's own shortcuts.
  auto* dialog = new app::BackgroundDialog(scene->model(), &scene->window());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
  QTest::keyClick(dialog, Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return quits == 2; }));
  EXPECT_EQ(loginItem->unregistrations, 2);
  dialog->close();
}

TEST_F(SceneTest, TheTrayMenuFollowsReceivingAndItsIconTheDownload) {
  receiving();
  agentSays(AgentStatus{"downloading", "Downloading 3 files for Acme & Co.", "Acme", 1, 2, now});
  makeModel();
  app::TrayMenu tray(*model);
  auto actions = tray.menu()->actions();
  ASSERT_TRUE(waitUntil([&] { return model->status().state == "downloading"; }));
  EXPECT_EQ(actions[1]->text(), "Downloading 3 files for Acme && Co.") << "the message as it is, & included";
  EXPECT_TRUE(tray.filled()) << "filled exactly while downloading";
  bool opened = false;
  QObject::connect(&tray, &app::TrayMenu::openWindowRequested, [&] { opened = true; });
  actions[3]->trigger();
  EXPECT_TRUE(opened);

  actions[4]->trigger();
  EXPECT_FALSE(Preferences::load().receiving);
  EXPECT_EQ(loginItem->unregistrations, 0) << "the menu's pause leaves the agent registered";
  model->refresh();
  EXPECT_FALSE(tray.filled());

  // Enabling without sign-in only sets the model's error.
  storeCredentials(false);
  makeModel();
  app::TrayMenu signedOut(*model);
  QStringList before;
  for (auto* action : signedOut.menu()->actions()) before << action->text();
  signedOut.menu()->actions()[4]->trigger();
  EXPECT_FALSE(model->error().isEmpty());
  for (auto* action : signedOut.menu()->actions()) EXPECT_EQ(action->text(), before.takeFirst());
}

TEST(SingleInstanceTest, ASecondInstanceHandsItsAddressesToTheFirst) {
  TempHome home;
  QString path = app::SingleInstance::defaultPath();
  EXPECT_EQ(path.toStdString(), (home.root() / "runtime" / "com.trellisant.app").string()) << "not in /tmp";
  {
    app::SingleInstance gone(path);
    ASSERT_TRUE(gone.becomePrimary());
  }
  app::SingleInstance lone(path);
  EXPECT_FALSE(lone.handOff({"trellisant://oauth/callback"}, 200)) << "nobody takes it";
  ASSERT_TRUE(lone.becomePrimary()) << "an ended instance's lock and socket are taken over";
  QStringList urls;
  int shows = 0;
  QObject::connect(&lone, &app::SingleInstance::urlReceived, [&](const QString& url) { urls << url; });
  QObject::connect(&lone, &app::SingleInstance::activationRequested, [&] { ++shows; });

  app::SingleInstance second(path);
  EXPECT_FALSE(second.becomePrimary()) << "the lock belongs to the first";
  const QStringList sent = {"trellisant://oauth/callback?code=c%20d&state=s", "trellisant://other"};
  ASSERT_TRUE(second.handOff(sent));
  ASSERT_TRUE(waitUntil([&] { return urls.size() == 2; }));
  EXPECT_EQ(urls, sent);
  EXPECT_EQ(shows, 0);
  ASSERT_TRUE(second.handOff({}));
  EXPECT_TRUE(waitUntil([&] { return shows == 1; })) << "a plain second start shows the window";
}

TEST(SymbolsTest, EveryBundledSymbolDrawsInTheGivenColour) {
  auto count = [](const QIcon& icon, QRgb colour, QIcon::Mode mode = QIcon::Normal) {
    QImage image = icon.pixmap(QSize(48, 48), mode).toImage().convertToFormat(QImage::Format_ARGB32);
    int found = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) found += qAlpha(image.pixel(x, y)) > 200 && (image.pixel(x, y) | 0x0f0f0f) == (colour | 0x0f0f0f);
    return found;
  };
  for (const char* name :
       {"arrow.down.left.arrow.up.right", "arrow.down.circle", "arrow.down.circle.fill", "slider.horizontal.3", "hammer",
        "arrow.up.right.square", "arrow.up.right", "exclamationmark.circle", "checkmark.shield", "lock.shield",
        "tray.and.arrow.down", "film", "externaldrive", "checkmark.circle", "line.3.horizontal"})
    EXPECT_GT(count(app::bundledSymbolIcon(name, Qt::red), 0xffff0000), 40) << name;
  EXPECT_GT(count(app::bundledSymbolIcon("arrow.down.circle.fill", Qt::red), 0xffffffff), 20) << "its white arrow stays";
  EXPECT_EQ(count(app::bundledSymbolIcon("film", Qt::red), 0xffff0000, QIcon::Disabled), 0) << "disabled is faint";
  EXPECT_TRUE(app::bundledSymbolIcon("no.such.symbol", Qt::red).isNull());
  EXPECT_GT(count(app::appIcon(), 0xffffffff), 20);
}

TEST_F(SceneTest, TheWindowRemembersItsSizeAndPosition) {
  makeModel();
  {
    app::MainWindow window(*model);
    EXPECT_EQ(window.minimumSize(), QSize(820, 560));
    EXPECT_EQ(window.size(), QSize(920, 660));
    window.show();
    window.setGeometry(140, 90, 1010, 705);
    window.close();
  }
  EXPECT_EQ(app::MainWindow(*model).geometry(), QRect(140, 90, 1010, 705));
}

}  // namespace
