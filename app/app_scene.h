#pragma once

#include <memory>

#include <QObject>

#include "app_services.h"

namespace trellisant::app {

class AppModel;
class MainWindow;
class TrayMenu;

// The top of the program: the one model, its window and its tray menu.
class AppScene : public QObject {
  Q_OBJECT
 public:
  explicit AppScene(AppServices services = AppServices::system(), QObject* parent = nullptr);
  ~AppScene() override;

  AppModel& model() const { return *model_; }
  MainWindow& window() const { return *window_; }
  TrayMenu& tray() const { return *tray_; }

  // Opens the window and brings it to the front.
  void showWindow();
  // Every trellisant:// address the desktop opens in the app.
  void openUrl(const QString& url);

 private:
  std::unique_ptr<AppModel> model_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<TrayMenu> tray_;
};

}  // namespace trellisant::app
