#pragma once

#include <QMainWindow>

class QMenu;

namespace trellisant::app {

class AppModel;
class MainView;

// The one window, titled "Trellisant". Closing it hides it and reports closed(); the scene
// decides whether the app lives on in the tray. Its size and position outlast the process.
class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
  ~MainWindow() override;
  MainView* view() const { return view_; }
  // Shows the window and brings it to the front.
  void present();

 signals:
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void rememberGeometry() const;

  MainView* view_;
};

}  // namespace trellisant::app
