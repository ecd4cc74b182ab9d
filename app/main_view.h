#pragma once

#include <QWidget>

class QLabel;
class QMenu;
class QToolButton;

namespace trellisant::app {

class AppModel;
class DownloadsSection;
class RoundedPanel;
class SettingsSection;
class Sidebar;
class SymbolLabel;

// The window's content: sidebar, header, error banner and the selected section. It keeps no
// state of its own; every published change of the model redraws it.
class MainView : public QWidget {
  Q_OBJECT
 public:
  explicit MainView(AppModel& model, QWidget* parent = nullptr);
  QSize sizeHint() const override { return {920, 660}; }
  // The tray menu's items in the header, for desktops without a tray; nullptr removes them.
  void setMenu(QMenu* menu);
  QToolButton* menuButton() const { return menuButton_; }

 public slots:
  void sync();
  void showBackgroundSettings();

 private:
  QWidget* buildHeader();
  QWidget* buildBanner();

  AppModel& model_;
  Sidebar* sidebar_ = nullptr;
  QLabel* title_ = nullptr;
  QLabel* subtitle_ = nullptr;
  QToolButton* menuButton_ = nullptr;
  RoundedPanel* banner_ = nullptr;
  SymbolLabel* bannerText_ = nullptr;
  DownloadsSection* downloads_ = nullptr;
  SettingsSection* settings_ = nullptr;
};

}  // namespace trellisant::app
