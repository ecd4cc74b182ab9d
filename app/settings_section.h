#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace trellisant::app {

class AppModel;
class PlainButton;
class ActionButton;
class Stepper;
class SymbolLabel;
class ToggleSwitch;

// "Settings": download folder, overnight availability, receiving preferences, connection.
class SettingsSection : public QWidget {
  Q_OBJECT
 public:
  explicit SettingsSection(AppModel& model, QWidget* parent = nullptr);
  void sync();

 signals:
  void backgroundSettingsRequested();

 private:
  // A white card with a title above its content.
  QWidget* settingsCard(const QString& title, QVBoxLayout*& content);
  QWidget* buildFolderCard();
  QWidget* buildOvernightCard();
  QWidget* buildReceivingCard();
  QWidget* buildConnectionCard();
  void commitBandwidth();

  AppModel& model_;
  QLabel* folderLabel_ = nullptr;
  ActionButton* chooseFolder_ = nullptr;
  QLabel* folderHint_ = nullptr;
  SymbolLabel* folderNotice_ = nullptr;
  ActionButton* enable_ = nullptr;
  ToggleSwitch* overnight_ = nullptr;
  Stepper* startHour_ = nullptr;
  Stepper* endHour_ = nullptr;
  QLabel* timeZone_ = nullptr;
  ToggleSwitch* battery_ = nullptr;
  QLineEdit* bandwidth_ = nullptr;
  SymbolLabel* server_ = nullptr;
  ActionButton* testReadiness_ = nullptr;
  PlainButton* signOut_ = nullptr;
};

}  // namespace trellisant::app
