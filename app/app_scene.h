#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QTimer>

#include "app_parts.h"
#include "background_tasks.h"

namespace trellisant::app {

class AppModel;
class MainWindow;
class TrayMenu;

// The top of the program: the one model, its window and its tray menu. Where the desktop has
// no tray, the window carries the menu's items and closing it ends the process; receiving
// goes on, since only "Stop receiving and quit" (Ctrl+Q, from any of the app's windows)
// turns it off.
class AppScene : public QObject {
  Q_OBJECT
 public:
  explicit AppScene(AppParts parts = AppParts::system(), QObject* parent = nullptr);
  ~AppScene() override;

  AppModel& model() const { return *model_; }
  MainWindow& window() const { return *window_; }
  TrayMenu& tray() const { return *tray_; }
  // Whether the menu is in the tray (else in the window).
  bool trayShown() const { return trayShown_.value_or(false); }

  // Opens the window and brings it to the front.
  void showWindow();
  // Every trellisant:// address the desktop opens in the app.
  void openUrl(const QString& url);
  // Asks whether the desktop has a tray now and moves the menu there or into the window.
  void checkTray();

 private:
  std::unique_ptr<AppModel> model_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<TrayMenu> tray_;
  std::function<bool()> trayAvailable_;
  std::function<void()> quit_;
  std::optional<bool> trayShown_;
  QTimer trayTimer_;
  BackgroundTasks tasks_{this};  // last: stopped and joined before the rest goes
};

}  // namespace trellisant::app
