#include "app_scene.h"

#include <iostream>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QSystemTrayIcon>

#include "app_model.h"
#include "main_view.h"
#include "main_window.h"
#include "tray_menu.h"

namespace trellisant::app {
namespace {

// A modal dialog keeps the window's shortcuts from firing, so the quit key is also caught on
// its way to whichever widget of the app has the focus.
class QuitKey : public QObject {
 public:
  QuitKey(QAction* quit, QObject* parent) : QObject(parent), quit_(quit) {}

  bool eventFilter(QObject* target, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || !target->isWidgetType()) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (QKeySequence(key->keyCombination()) != quit_->shortcut()) return false;
    if (!key->isAutoRepeat()) quit_->trigger();
    key->accept();
    return true;
  }

 private:
  QAction* quit_;
};

}  // namespace

AppScene::AppScene(AppParts parts, QObject* parent) : QObject(parent) {
  // The window does not exist yet when the model starts; these look it up when used.
  QPointer<AppScene> self(this);
  parts.activate = [self] {
    if (self && self->window_) self->showWindow();
  };
  // The folder dialog is a sheet on this window, even while the window is still opening.
  if (!parts.folderChooser || dynamic_cast<DialogFolderChooser*>(parts.folderChooser.get())) {
    parts.folderChooser = std::make_shared<DialogFolderChooser>(
        [self]() -> QWidget* { return self && self->window_ ? self->window_.get() : nullptr; });
  }
  trayAvailable_ = parts.trayAvailable;
  quit_ = parts.quit;
  auto schemeHandler = parts.schemeHandler;
  auto trayCheckInterval = parts.trayCheckInterval;
  model_ = std::make_unique<AppModel>(std::move(parts));
  window_ = std::make_unique<MainWindow>(*model_);
  tray_ = std::make_unique<TrayMenu>(*model_);
  connect(tray_.get(), &TrayMenu::openWindowRequested, this, &AppScene::showWindow);
  window_->addAction(tray_->quitAction());
  qApp->installEventFilter(new QuitKey(tray_->quitAction(), this));
  connect(window_.get(), &MainWindow::closed, this, [this] {
    if (!trayShown() && quit_) quit_();
  });

  checkTray();
  connect(&trayTimer_, &QTimer::timeout, this, &AppScene::checkTray);
  trayTimer_.start(trayCheckInterval);

  if (schemeHandler) {
    tasks_.run<bool>([schemeHandler](std::stop_token) { return schemeHandler->ensure(); },
                     [](Outcome<bool> outcome) {
                       if (!outcome.ok())
                         std::cerr << "trellisant: could not make this program the handler of trellisant:// "
                                      "addresses, so the browser's sign-in may not reach it: "
                                   << userMessage(outcome.error) << "\n";
                     });
  }
}

AppScene::~AppScene() {
  tray_.reset();
  window_.reset();
  model_.reset();
}

void AppScene::showWindow() { window_->present(); }

void AppScene::openUrl(const QString& url) { model_->receiveSignIn(url); }

void AppScene::checkTray() {
  bool available = trayAvailable_ && trayAvailable_();
  if (trayShown_ == available) return;
  bool hadTray = trayShown_.value_or(false);
  trayShown_ = available;
  tray_->icon()->setVisible(available);
  window_->view()->setMenu(available ? nullptr : tray_->windowMenu());
  // A hidden window would leave nothing on screen to reach the app by.
  if (hadTray && !available && window_->isHidden()) showWindow();
}

}  // namespace trellisant::app
