#include "app_fakes.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include "theme.h"
#include "widgets.h"

namespace trellisant::testing {

QStringList allTexts(const QObject* root) {
  QStringList texts;
  for (auto* object : root->findChildren<QObject*>()) {
    if (auto* label = qobject_cast<QLabel*>(object)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(object)) texts << button->text();
    if (auto* field = qobject_cast<QLineEdit*>(object)) texts << field->placeholderText();
    if (auto* stepper = qobject_cast<app::Stepper*>(object)) texts << stepper->text();
    if (auto* action = qobject_cast<QAction*>(object)) texts << action->text();
    if (auto* widget = qobject_cast<QWidget*>(object)) texts << widget->toolTip();
  }
  return texts;
}

void ensureApplication() {
  static int argc = 1;
  static char name[] = "trellisant-tests";
  static char* argv[] = {name, nullptr};
  if (qApp) return;
  auto* application = new QApplication(argc, argv);  // left to the end of the process, as Qt's own statics are
  QApplication::setQuitOnLastWindowClosed(false);
  app::theme::applyLightScheme(*application);
  // waitUntil runs Qt's event loop while it waits, so that results posted to the UI thread arrive.
  setWaitStep([](std::chrono::milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
}

}  // namespace trellisant::testing
