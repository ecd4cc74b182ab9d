#pragma once

#include <vector>

#include <QWidget>

#include "clock.h"
#include "history/received_history.h"

class QVBoxLayout;

namespace trellisant::app {

class AppModel;

// "Recently received": the newest deliveries, each with a button that opens its folder.
// Nothing at all while the history is empty.
class ReceivedList : public QWidget {
  Q_OBJECT
 public:
  explicit ReceivedList(AppModel& model, QWidget* parent = nullptr);
  void sync();

 private:
  QWidget* buildRow(const ReceivedDelivery& delivery);

  AppModel& model_;
  QVBoxLayout* rows_ = nullptr;
  std::vector<ReceivedDelivery> shown_;
  Date shownAt_;
};

// When a delivery completed, as the list says it: relative today ("just now", "12 min ago",
// "3 h ago"), the date otherwise.
QString completedText(Date completed, Date now);

}  // namespace trellisant::app
