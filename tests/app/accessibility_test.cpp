#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTest>
#include <QToolButton>

#include "app_fakes.h"
#include "background_dialog.h"
#include "main_view.h"
#include "main_window.h"
#include "sidebar.h"
#include "widgets.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

class AccessibilityTest : public AppModelTest {
 protected:
  // Signed in, receiving, a delivery downloading, an error shown and the menu in the window:
  // every control and status element of the window exists.
  app::MainWindow& downloadingWindow() {
    receiving();
    agentAnswer = AgentStatus{"downloading", "Downloading 2 files.", "Acme / Day 1", 1'500'000'000, 4'000'000'000, now};
    makeModel();
    EXPECT_TRUE(waitUntil([&] { return model->status().state == "downloading"; }));
    loginItem->failRegister("Unit file is masked.");
    model->enable();
    EXPECT_TRUE(waitUntil([&] { return !model->error().isEmpty(); }));
    window = std::make_unique<app::MainWindow>(*model);
    window->view()->setMenu(&menu);
    window->show();
    return *window;
  }

  // The controls a Tab key reaches, visible or not.
  QList<QWidget*> controls(QWidget* root) {
    QList<QWidget*> out;
    for (auto* widget : root->findChildren<QWidget*>())
      if ((widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(root)) out << widget;
    return out;
  }

  QMenu menu;
  std::unique_ptr<app::MainWindow> window;
};

TEST_F(AccessibilityTest, EveryControlAndStatusElementHasANameAndADescription) {
  auto& window = downloadingWindow();
  auto* view = window.view();
  auto text = [&](const char* name) { return view->findChild<app::SymbolLabel*>(name)->textLabel(); };
  auto sections = view->findChildren<app::SectionButton*>();
  auto steppers = view->findChildren<app::Stepper*>();
  ASSERT_EQ(sections.size(), 2);
  ASSERT_EQ(steppers.size(), 2);
  const struct {
    QWidget* widget;
    QString name;
    QAccessible::Role role;
  } table[] = {
      {sections[0], "Downloads", QAccessible::RadioButton},
      {sections[1], "Settings", QAccessible::RadioButton},
      {view->findChild<QToolButton*>("websiteButton"), "Open your company website", QAccessible::Button},
      {view->menuButton(), "Trellisant menu", QAccessible::ButtonMenu},
      {text("errorBanner"), "Background access needs attention. Unit file is masked.", QAccessible::StaticText},
      {view->findChild<QLabel*>("statusTitle"), "Downloading footage", QAccessible::StaticText},
      {view->findChild<QLabel*>("statusMessage"), "Downloading 2 files.", QAccessible::StaticText},
      {text("transfer"), "Acme / Day 1", QAccessible::StaticText},
      {view->findChild<QProgressBar*>(), "Download progress", QAccessible::ProgressBar},
      {view->findChild<QLabel*>("bytes"), "1.5 GB of 4.0 GB", QAccessible::StaticText},
      {text("folderLabel"), QString::fromStdString(model->preferences().destinationLabel), QAccessible::StaticText},
      {view->findChild<QLabel*>("settingsFolderLabel"), QString::fromStdString(model->preferences().destinationLabel),
       QAccessible::StaticText},
      {view->findChildren<app::ToggleSwitch*>().value(0), "Keep this computer available overnight",
       QAccessible::CheckBox},
      {steppers[0]->findChildren<QAbstractButton*>()[0], "From: one hour earlier", QAccessible::Button},
      {steppers[1]->findChildren<QAbstractButton*>()[1], "Until: one hour later", QAccessible::Button},
      {view->findChild<QLineEdit*>("bandwidth"), "Bandwidth limit", QAccessible::EditableText},
      {text("server"), "https://trellisant.example", QAccessible::StaticText},
  };
  for (const auto& row : table) {
    ASSERT_TRUE(row.widget) << qPrintable(row.name);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(row.widget);
    ASSERT_TRUE(accessible) << qPrintable(row.name);
    EXPECT_EQ(accessible->text(QAccessible::Name), row.name);
    EXPECT_EQ(accessible->role(), row.role) << qPrintable(row.name);
    EXPECT_FALSE(accessible->text(QAccessible::Description).isEmpty()) << qPrintable(row.name);
  }
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(sections[0])->state().checked) << "the section shown";
  EXPECT_EQ(QAccessible::queryAccessibleInterface(steppers[0]->findChildren<QAbstractButton*>()[0])
                ->text(QAccessible::Description),
            "From 22:00");

  // Nothing the keyboard reaches is left without either, the background dialog's included.
  app::BackgroundDialog dialog(*model, &window);
  for (QWidget* root : {static_cast<QWidget*>(view), static_cast<QWidget*>(&dialog)}) {
    for (QWidget* control : controls(root)) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
      EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << control->metaObject()->className();
      EXPECT_FALSE(accessible->text(QAccessible::Description).isEmpty())
          << qPrintable(accessible->text(QAccessible::Name));
    }
  }
}

TEST_F(AccessibilityTest, TheTabKeyReachesEveryControlAndShowsWhereItIs) {
  auto& window = downloadingWindow();
  window.activateWindow();
  ASSERT_TRUE(waitUntil([&] { return window.isActiveWindow(); }));
  for (const char* section : {"Downloads", "Settings"}) {
    model->setSelected(section);
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    QList<QWidget*> unvisited;
    QList<QImage> unfocused;
    for (QWidget* control : controls(window.view())) {
      if (!control->isEnabled()) continue;
      unvisited << control;
      unfocused << control->grab().toImage();
    }
    QList<QWidget*> all = unvisited;
    for (qsizetype step = 0; step <= all.size() && !unvisited.isEmpty(); ++step) {
      QWidget* from = QApplication::focusWidget();
      QTest::keyClick(from ? from : &window, Qt::Key_Tab);
      QWidget* control = QApplication::focusWidget();
      ASSERT_TRUE(control);
      qsizetype index = all.indexOf(control);
      if (index < 0) continue;
      unvisited.removeOne(control);
      EXPECT_NE(control->grab().toImage(), unfocused[index])
          << section << ": " << qPrintable(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name));
    }
    for (QWidget* control : unvisited)
      ADD_FAILURE() << section << ": Tab never reaches "
                    << qPrintable(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name));
  }
  // The sections are one group: Tab reaches the one shown, the arrow keys move to the other.
  auto sections = window.view()->findChildren<app::SectionButton*>();
  sections[1]->setFocus(Qt::TabFocusReason);
  QTest::keyClick(sections[1], Qt::Key_Up);
  EXPECT_EQ(model->selected(), "Downloads");
  EXPECT_TRUE(sections[0]->hasFocus());
  EXPECT_TRUE(sections[0]->focusPolicy() & Qt::TabFocus);
  EXPECT_FALSE(sections[1]->focusPolicy() & Qt::TabFocus);
}

}  // namespace
