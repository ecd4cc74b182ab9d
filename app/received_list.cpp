#include "received_list.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include "app_model.h"
#include "qt_convert.h"
#include "text.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {
namespace {

QDateTime localTime(Date date) {
  return QDateTime::fromMSecsSinceEpoch(
      std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count());
}

// The receipt's mark, read by assistive technology as it is shown: the label's text is its name.
QString receiptText(ReceiptState receipt) {
  const std::string_view mark = receiptMark(receipt);
  return mark.empty() ? QString() : QStringLiteral(" · ") + toQString(mark);
}

}  // namespace

QString completedText(Date completed, Date now) {
  const QDateTime when = localTime(completed);
  if (when.date() != localTime(now).date() || completed > now)
    return QLocale().toString(when.date(), QLocale::ShortFormat);
  const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - completed).count();
  if (minutes < 1) return QStringLiteral("just now");
  if (minutes < 60) return QStringLiteral("%1 min ago").arg(minutes);
  return QStringLiteral("%1 h ago").arg(minutes / 60);
}

ReceivedList::ReceivedList(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(8);
  auto* title = makeLabel(QStringLiteral("Recently received"), 13, QFont::DemiBold, theme::primaryText(), this);
  title->setAccessibleName(QStringLiteral("Recently received"));
  column->addWidget(title);
  auto* card = new RoundedPanel(Qt::white, 12, this);
  rows_ = new QVBoxLayout(card);
  rows_->setContentsMargins(18, 10, 18, 10);
  rows_->setSpacing(0);
  column->addWidget(card);
  sync();
}

QWidget* ReceivedList::buildRow(const ReceivedDelivery& delivery) {
  auto* row = new QWidget;
  auto* line = new QHBoxLayout(row);
  line->setContentsMargins(0, 8, 0, 8);
  line->setSpacing(12);
  line->addWidget(makeSymbol("film", 18, theme::withAlpha(theme::brand(), 0.8), row));
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  auto* name = makeLabel(toQString(delivery.name), 12, QFont::DemiBold, theme::primaryText(), row);
  const QString detail = toQString(delivery.company + " / " + delivery.project) +
                         QStringLiteral(" · %1 %2 · ").arg(delivery.files).arg(delivery.files == 1 ? "file" : "files") +
                         toQString(sizeText(delivery.bytes)) + QStringLiteral(" · ") +
                         completedText(delivery.completedAt, shownAt_) + receiptText(delivery.receipt);
  auto* details = makeLabel(detail, 11, QFont::Normal, theme::secondaryText(), row);
  details->setObjectName("receivedDetails");
  texts->addWidget(name);
  texts->addWidget(details);
  line->addLayout(texts, 1);
  auto* open = new PlainButton(QStringLiteral("Show in folder"), 11, row);
  open->setObjectName("openReceived");
  open->setSymbol("arrow.up.right.square", 11);
  open->setAccessibleName(QStringLiteral("Show “%1” in its folder").arg(toQString(delivery.name)));
  open->setAccessibleDescription(QStringLiteral("Opens the folder the delivery was downloaded to"));
  connect(open, &QPushButton::clicked, &model_, [this, delivery] { model_.openReceivedFolder(delivery); });
  line->addWidget(open, 0, Qt::AlignVCenter);
  return row;
}

void ReceivedList::sync() {
  const auto& list = model_.received();
  setVisible(!list.empty());
  const Date now = SystemClock::now();
  // Rebuilt when the list changes, and each minute for the relative times.
  if (list == shown_ && now - shownAt_ < std::chrono::minutes(1)) return;
  shown_ = list;
  shownAt_ = now;
  while (QLayoutItem* item = rows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const auto& delivery : list) rows_->addWidget(buildRow(delivery));
}

}  // namespace trellisant::app
