#pragma once

#include <QObject>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace trellisant::app {

class AppModel;

// The tray icon and its menu: receiving line, status message, open, pause or enable, quit.
class TrayMenu : public QObject {
  Q_OBJECT
 public:
  explicit TrayMenu(AppModel& model, QObject* parent = nullptr);
  ~TrayMenu() override;

  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }
  // Whether the icon shows the filled symbol.
  bool filled() const { return filled_; }
  void show();

 signals:
  void openWindowRequested();

 public slots:
  void sync();

 private:
  AppModel& model_;
  QMenu* menu_;
  QSystemTrayIcon* icon_;
  QAction* receiving_;
  QAction* message_;
  QAction* open_;
  QAction* toggle_;
  QAction* quit_;
  bool filled_ = false;
  bool iconSet_ = false;
};

}  // namespace trellisant::app
