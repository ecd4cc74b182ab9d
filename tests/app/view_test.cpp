// The window as a person uses it: the next step follows the model, settings save as they
// change, the progress shows, and the keyboard reaches every control with a name.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTest>

#include "app_fakes.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "sidebar.h"
#include "widgets.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

class ViewTest : public AppModelTest {
 protected:
  app::MainView& makeView() {
    view.reset();
    makeModel();
    view = std::make_unique<app::MainView>(*model);
    return *view;
  }
  QAbstractButton* button(const QString& text) { return visibleButton(view.get(), text); }
  void TearDown() override {
    view.reset();
    AppModelTest::TearDown();
  }
  std::unique_ptr<app::MainView> view;
};

TEST_F(ViewTest, TheNextStepFollowsTheModel) {
  startCompany();
  makeView();
  button("Sign in to Trellisant")->click();
  ASSERT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }));
  EXPECT_FALSE(button("Complete sign in in your browser")->isEnabled()) << "while the sign-in waits";
  button("Cancel sign in")->click();
  ASSERT_TRUE(waitUntil([&] { return !model->busy() && button("Sign in to Trellisant"); }));

  AgentStatus{"ready", "Ready.", "", 0, 0, now}.save();
  storeCredentials(true, company->baseUrl());
  makeView();
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Receiving is paused");
  button("Choose download folder")->click();
  ASSERT_TRUE(waitUntil([&] { return chooser->done != nullptr; }));
  EXPECT_FALSE(button("Choose download folder")->isEnabled()) << "while choosing";
  chooser->answer(folder("Footage"));
  ASSERT_TRUE(waitUntil([&] { return button("Enable receiving") != nullptr; }));
  EXPECT_FALSE(button("Choose download folder"));
  button("Enable receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return button("Pause receiving") != nullptr; })) << "the card moves on by itself";
  EXPECT_FALSE(button("Enable receiving"));
  button("Pause receiving")->click();
  EXPECT_FALSE(Preferences::load().receiving);
  EXPECT_EQ(labelText(view.get(), "statusTitle"), "Receiving is paused") << "the window's pause refreshes";
}

TEST_F(ViewTest, DownloadingShowsProgressAndAnEmptyTransferTheQuietState) {
  receiving();
  for (const auto& [transfer, bytesShown] : {std::pair{"Acme / Day 1", "1.5 GB of 4.0 GB"}, std::pair{"", ""}}) {
    AgentStatus status{"downloading", "Downloading 2 files.", transfer, 1'500'000'000, 4'000'000'000, now};
    agentSays(status);
    makeView();
    ASSERT_TRUE(waitUntil([&] { return model->status() == status; }));
    EXPECT_EQ(labelText(view.get(), "transfer"), transfer);
    EXPECT_EQ(labelText(view.get(), "bytes"), bytesShown) << "decimal byte counts";
    auto* bar = view->findChild<QProgressBar*>();
    EXPECT_EQ(bar->isVisibleTo(view.get()) ? bar->value() * 8 / bar->maximum() : -1, *transfer ? 3 : -1);
    EXPECT_EQ(showsText(view.get(), "A quieter way to hand off footage"), !*transfer);
  }
}

TEST_F(ViewTest, SettingsSaveAsTheyChangeAndTheBannerOutlivesTheSection) {
  receiving();
  makeView();
  model->setSelected("Settings");
  auto steppers = view->findChildren<app::Stepper*>();
  ASSERT_EQ(steppers.size(), 2);
  EXPECT_EQ(steppers[0]->maximum(), 23);
  steppers[0]->stepUp();
  EXPECT_EQ(Preferences::load().startHour, 23);
  auto* bandwidth = view->findChild<QLineEdit*>("bandwidth");
  for (auto [typed, saved, shown] : {std::tuple{"-5", 0.0, "0"}, std::tuple{"12.5", 12.5, "12.5"}}) {
    bandwidth->setText(typed);
    emit bandwidth->editingFinished();
    EXPECT_EQ(Preferences::load().bandwidthMbps, saved);
    EXPECT_EQ(bandwidth->text(), shown);
  }
  button("Allow downloads on battery")->click();
  EXPECT_TRUE(Preferences::load().allowBattery);

  model->testReadiness();
  EXPECT_FALSE(button("Test readiness")->isEnabled() || button("Choose folder")->isEnabled()) << "while busy";
  ASSERT_TRUE(waitUntil([&] { return !model->busy(); }));

  loginItem->failRegister("Unit file is masked.");
  model->changePreferences([](Preferences& p) { p.receiving = false; });
  model->enable();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  EXPECT_EQ(labelText(view.get(), "errorBanner"), model->error());
  view->findChildren<app::SectionButton*>().at(0)->click();
  EXPECT_EQ(model->selected(), "Downloads");
  EXPECT_EQ(labelText(view.get(), "errorBanner"), model->error());
}

TEST_F(ViewTest, BackgroundSettingsSwitchTheAgentAlone) {
  makeModel();
  app::BackgroundDialog dialog(*model);
  // The switch with this text, once the login item has answered.
  auto toggle = [&](const QString& text) {
    QAbstractButton* found = nullptr;
    EXPECT_TRUE(waitUntil([&] { return (found = visibleButton(&dialog, text)) && found->isEnabled(); })) << text.toStdString();
    return found;
  };
  toggle("Turn on background receiving")->click();
  toggle("Turn off background receiving");
  EXPECT_TRUE(model->serviceReady());
  EXPECT_FALSE(model->preferences().receiving) << "the preference is the user's, not the dialog's";
  loginItem->failUnregister("Failed to disable unit.");
  toggle("Turn off background receiving")->click();
  ASSERT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
  EXPECT_EQ(model->error(), "Failed to disable unit.");
  EXPECT_TRUE(toggle("Turn off background receiving"));
}

TEST_F(ViewTest, TheKeyboardReachesEveryControlAndEachHasANameAndADescription) {
  receiving();
  makeModel();
  app::MainWindow window(*model);
  QMenu menu;
  window.view()->setMenu(&menu);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(waitUntil([&] { return window.isActiveWindow(); }));
  auto controls = [](QWidget* root) {
    QList<QWidget*> found;
    for (auto* widget : root->findChildren<QWidget*>())
      if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(root) && widget->isEnabled()) found << widget;
    return found;
  };
  auto named = [](QWidget* control) {
    auto* accessible = QAccessible::queryAccessibleInterface(control);
    return !accessible->text(QAccessible::Name).isEmpty() && !accessible->text(QAccessible::Description).isEmpty();
  };
  app::BackgroundDialog dialog(*model, &window);
  for (QWidget* control : controls(&dialog)) EXPECT_TRUE(named(control)) << control->metaObject()->className();
  for (const char* section : {"Downloads", "Settings"}) {
    model->setSelected(section);
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    QList<QWidget*> unvisited = controls(window.view());
    QList<QImage> unfocused;
    for (QWidget* control : unvisited) unfocused << control->grab().toImage();
    const QList<QWidget*> all = unvisited;
    for (qsizetype step = 0; step <= all.size() && !unvisited.isEmpty(); ++step) {
      QWidget* from = QApplication::focusWidget();
      QTest::keyClick(from ? from : &window, Qt::Key_Tab);
      QWidget* control = QApplication::focusWidget();
      if (!unvisited.removeOne(control)) continue;
      EXPECT_TRUE(named(control)) << section << ": " << control->metaObject()->className();
      EXPECT_NE(control->grab().toImage(), unfocused[all.indexOf(control)]) << "the focus shows";
    }
    EXPECT_TRUE(unvisited.isEmpty()) << section << ": Tab never reaches " << unvisited.size() << " controls";
  }
  // The sections are one group: Tab reaches the one shown, the arrow keys move to the other.
  auto sections = window.view()->findChildren<app::SectionButton*>();
  sections[1]->setFocus(Qt::TabFocusReason);
  QTest::keyClick(sections[1], Qt::Key_Up);
  EXPECT_EQ(model->selected(), "Downloads");
  EXPECT_FALSE(sections[1]->focusPolicy() & Qt::TabFocus);
}

}  // namespace
