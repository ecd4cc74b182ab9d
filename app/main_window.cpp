#include "main_window.h"

#include <QAction>

#include "app_model.h"
#include "main_view.h"
#include "symbols.h"

namespace trellisant::app {

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Trellisant"));
  setWindowIcon(appIcon());
  view_ = new MainView(model, this);
  setCentralWidget(view_);
  setMinimumSize(820, 560);
  resize(920, 660);

  quit_ = new QAction(QStringLiteral("Stop receiving and quit"), this);
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit_->setShortcutContext(Qt::WindowShortcut);
  addAction(quit_);
  connect(quit_, &QAction::triggered, &model, [&model] {
    QMetaObject::invokeMethod(&model, [&model] { model.stop(true); }, Qt::QueuedConnection);
  });
}

void MainWindow::present() {
  if (isMinimized()) showNormal();
  else show();
  raise();
  activateWindow();
}

}  // namespace trellisant::app
