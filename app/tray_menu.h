#pragma once

#include <QObject>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace trellisant::app {

class AppModel;

// The tray icon and its menu: receiving line, status message, open, pause or enable, quit.
// Where the desktop has no tray, the window shows the same items through windowMenu().
class TrayMenu : public QObject {
  Q_OBJECT
 public:
  explicit TrayMenu(AppModel& model, QObject* parent = nullptr);
  ~TrayMenu() override;

  QMenu* menu() const { return menu_; }
  // A second menu holding the same actions: the tray's may become a platform menu of the
  // tray, which a window cannot pop up.
  QMenu* windowMenu() const { return windowMenu_; }
  // "Stop receiving and quit", with Ctrl+Q.
  QAction* quitAction() const { return quit_; }
  QSystemTrayIcon* icon() const { return icon_; }
  // Whether the icon shows the filled symbol.

 signals:
  void openWindowRequested();

 public slots:
  void sync();

 private:
  AppModel& model_;
  QMenu* menu_;
  QMenu* windowMenu_;
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
