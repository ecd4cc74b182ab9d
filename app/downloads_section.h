#pragma once

#include <string_view>

#include <QWidget>

class QLabel;
class QProgressBar;
class QStackedWidget;

namespace trellisant::app {

class AppModel;
class PlainButton;
class ActionButton;
class SymbolLabel;
class SymbolView;
class ReceivedList;

// "Downloads": the status card, the next step, the activity card, the deliveries received
// lately and the folder row.
class DownloadsSection : public QWidget {
  Q_OBJECT
 public:
  explicit DownloadsSection(AppModel& model, QWidget* parent = nullptr);
  void sync();

 private:
  QWidget* buildStatusCard();
  QWidget* buildNextStep();
  QWidget* buildActivityCard();
  QWidget* buildFolderRow();

  AppModel& model_;
  SymbolView* statusSymbol_ = nullptr;
  std::string_view statusSymbolName_;
  QLabel* statusTitle_ = nullptr;
  QLabel* statusMessage_ = nullptr;
  ActionButton* signIn_ = nullptr;
  PlainButton* cancelSignIn_ = nullptr;
  ActionButton* chooseFolder_ = nullptr;
  ActionButton* enable_ = nullptr;
  QStackedWidget* activity_ = nullptr;
  SymbolLabel* transfer_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* bytes_ = nullptr;
  ReceivedList* received_ = nullptr;
  SymbolLabel* folder_ = nullptr;
  PlainButton* pause_ = nullptr;
};

}  // namespace trellisant::app
