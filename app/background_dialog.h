#pragma once

#include <QDialog>

class QLabel;

namespace trellisant::app {

class AppModel;
class ActionButton;

// What the desktop's own background-apps settings would show for the agent: its
// state, where its unit or autostart entry lives, and a switch for it alone.
class BackgroundDialog : public QDialog {
  Q_OBJECT
 public:
  BackgroundDialog(AppModel& model, QWidget* parent = nullptr);
  void sync();

 private:
  AppModel& model_;
  QLabel* state_ = nullptr;
  QLabel* description_ = nullptr;
  ActionButton* toggle_ = nullptr;
  bool working_ = false;
};

}  // namespace trellisant::app
