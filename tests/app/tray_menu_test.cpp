#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

#include "app_fakes.h"
#include "tray_menu.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

class TrayMenuTest : public AppModelTest {
 protected:
  QStringList items(const app::TrayMenu& tray) {
    QStringList out;
    for (auto* action : tray.menu()->actions()) out << (action->isSeparator() ? "—" : action->text());
    return out;
  }
  QAction* item(const app::TrayMenu& tray, int index) { return tray.menu()->actions().at(index); }
};

TEST_F(TrayMenuTest, WhileReceiving) {
  receiving();
  agentAnswer = AgentStatus{"downloading", "Downloading 3 files for Acme & Co.", "Acme", 1, 2, now};
  makeModel();
  app::TrayMenu tray(*model);
  ASSERT_TRUE(waitUntil([&] { return model->status().state == "downloading"; }));
  EXPECT_EQ(items(tray), (QStringList{"Trellisant is receiving", "Downloading 3 files for Acme && Co.", "—",
                                      "Open Trellisant", "Pause receiving", "—", "Stop receiving and quit"}));
  EXPECT_TRUE(tray.filled()) << "filled exactly while downloading";
  for (int i : {3, 4, 6}) EXPECT_TRUE(item(tray, i)->isEnabled());

  item(tray, 4)->trigger();
  EXPECT_FALSE(preferencesOnDisk().receiving);
  EXPECT_EQ(loginItem->unregistrations(), 0) << "the menu's pause leaves the agent registered";
  EXPECT_EQ(item(tray, 0)->text(), "Receiving is paused");
  EXPECT_EQ(item(tray, 4)->text(), "Enable receiving");
  EXPECT_TRUE(tray.filled()) << "the status shown is unchanged until the next refresh";

  model->refresh();
  EXPECT_FALSE(tray.filled());

  bool opened = false;
  QObject::connect(&tray, &app::TrayMenu::openWindowRequested, [&] { opened = true; });
  item(tray, 3)->trigger();
  EXPECT_TRUE(opened);

  item(tray, 6)->trigger();
  ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
  EXPECT_EQ(loginItem->unregistrations(), 1);
}

TEST_F(TrayMenuTest, WhilePausedEnablingWithoutSignInOnlySetsTheError) {
  makeModel();
  app::TrayMenu tray(*model);
  EXPECT_EQ(items(tray), (QStringList{"Receiving is paused", "Receiving is paused.", "—", "Open Trellisant",
                                      "Enable receiving", "—", "Stop receiving and quit"}));
  EXPECT_FALSE(tray.filled());
  auto before = items(tray);
  item(tray, 4)->trigger();
  EXPECT_EQ(model->error(), "Sign in before enabling receiving.");
  EXPECT_EQ(items(tray), before);
}

}  // namespace
