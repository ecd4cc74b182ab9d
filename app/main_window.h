#pragma once

#include <QMainWindow>

namespace trellisant::app {

class AppModel;
class MainView;

// The one window, titled "Trellisant". Closing it only hides it: the tray and the model keep
// running. Ctrl+Q stops receiving and quits.
class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
  MainView* view() const { return view_; }
  QAction* quitAction() const { return quit_; }
  // Shows the window and brings it to the front.
  void present();

 private:
  MainView* view_;
  QAction* quit_;
};

}  // namespace trellisant::app
