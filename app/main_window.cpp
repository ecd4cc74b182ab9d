#include "main_window.h"

#include <QCloseEvent>
#include <QSettings>

#include "app_model.h"
#include "main_view.h"
#include "qt_convert.h"
#include "settings/paths.h"
#include "symbols.h"
#include "texts.h"

namespace trellisant::app {
namespace {

// Read afresh each time, so that a changed XDG_CONFIG_HOME is followed (QSettings' own
// default location is fixed at its first use).
QString settingsFile() { return toQString(Paths::windowSettingsFile()); }

constexpr QLatin1String kGeometry("geometry");

}  // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(texts::appName);
  setWindowIcon(appIcon());
  view_ = new MainView(model, this);
  setCentralWidget(view_);
  setMinimumSize(820, 560);
  QSettings settings(settingsFile(), QSettings::IniFormat);
  if (!restoreGeometry(settings.value(kGeometry).toByteArray())) resize(920, 660);
}

MainWindow::~MainWindow() {
  if (isVisible()) rememberGeometry();
}

void MainWindow::present() {
  if (isMinimized()) showNormal();
  else show();
  raise();
  activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  if (event->isAccepted()) emit closed();
}

void MainWindow::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  if (!event->spontaneous()) rememberGeometry();  // not for minimizing
}

void MainWindow::rememberGeometry() const {
  QSettings settings(settingsFile(), QSettings::IniFormat);
  settings.setValue(kGeometry, saveGeometry());
}

}  // namespace trellisant::app
