#include "downloads_section.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app_model.h"
#include "qt_convert.h"
#include "received_list.h"
#include "symbols.h"
#include "texts.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {
namespace {

QString statusTitle(const AppModel& model) {
  const auto& status = model.status();
  if (!model.signedIn()) return QStringLiteral("Connect your company");
  if (status.is(AgentState::ready)) return QStringLiteral("Ready to receive");
  if (status.is(AgentState::downloading)) return QStringLiteral("Downloading footage");
  if (status.is(AgentState::paused)) return texts::receivingPaused;
  return QStringLiteral("Check your device");
}

QString statusMessage(const AppModel& model) {
  if (!model.signedIn()) return QStringLiteral("Sign in, choose a folder, and enable automatic receiving.");
  return toQString(model.status().message);
}

}  // namespace

DownloadsSection::DownloadsSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(16);
  column->addWidget(buildStatusCard());
  column->addWidget(buildNextStep());
  column->addWidget(buildActivityCard());
  received_ = new ReceivedList(model_, this);
  column->addWidget(received_);
  column->addWidget(buildFolderRow());
  sync();
}

QWidget* DownloadsSection::buildStatusCard() {
  auto* card = new RoundedPanel(theme::withAlpha(theme::brand(), 0.065), 12, this);
  auto* row = new QHBoxLayout(card);
  row->setContentsMargins(22, 22, 22, 22);
  row->setSpacing(16);
  statusSymbol_ = new SymbolView({}, theme::pixels(30), card);
  row->addWidget(statusSymbol_, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(5);
  statusTitle_ = makeLabel({}, 16, QFont::DemiBold, theme::primaryText(), card);
  statusTitle_->setObjectName("statusTitle");
  statusTitle_->setAccessibleDescription(QStringLiteral("Receiving status"));
  statusMessage_ = makeLabel({}, 12, QFont::Normal, theme::secondaryText(), card);
  statusMessage_->setObjectName("statusMessage");
  statusMessage_->setAccessibleDescription(QStringLiteral("What receiving is doing now"));
  statusMessage_->setWordWrap(true);
  statusMessage_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  texts->addWidget(statusTitle_);
  texts->addWidget(statusMessage_);
  row->addLayout(texts, 1);
  return card;
}

QWidget* DownloadsSection::buildNextStep() {
  auto* strip = new QWidget(this);
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(12);
  signIn_ = new ActionButton(texts::signIn, ActionButton::primary, strip);
  signIn_->setSymbol("arrow.up.right");
  cancelSignIn_ = new PlainButton(QStringLiteral("Cancel sign in"), 11, strip);
  chooseFolder_ = new ActionButton(texts::chooseDownloadFolder, ActionButton::primary, strip);
  enable_ = new ActionButton(texts::enableReceiving, ActionButton::primary, strip);
  signIn_->setAccessibleDescription(QStringLiteral("Opens your company’s sign-in page in your browser"));
  cancelSignIn_->setAccessibleDescription(QStringLiteral("Stops waiting for the sign-in in your browser"));
  chooseFolder_->setAccessibleDescription(texts::chooseFolderDescription);
  enable_->setAccessibleDescription(texts::enableDescription);
  for (QWidget* widget : {static_cast<QWidget*>(signIn_), static_cast<QWidget*>(cancelSignIn_),
                          static_cast<QWidget*>(chooseFolder_), static_cast<QWidget*>(enable_)})
    row->addWidget(widget);
  row->addStretch();
  connect(signIn_, &QPushButton::clicked, &model_, [this] {
    QMetaObject::invokeMethod(&model_, &AppModel::signIn, Qt::QueuedConnection);
  });
  connect(cancelSignIn_, &QPushButton::clicked, &model_, &AppModel::cancelSignIn);
  connect(chooseFolder_, &QPushButton::clicked, &model_, [this] {
    QMetaObject::invokeMethod(&model_, &AppModel::chooseFolder, Qt::QueuedConnection);
  });
  connect(enable_, &QPushButton::clicked, &model_, &AppModel::enable);
  return strip;
}

QWidget* DownloadsSection::buildActivityCard() {
  auto* card = new RoundedPanel(Qt::white, 12, this);
  card->setMinimumHeight(210);
  auto* outer = new QVBoxLayout(card);
  outer->setContentsMargins(22, 22, 22, 22);
  activity_ = new QStackedWidget(card);
  outer->addWidget(activity_);

  auto* empty = new QWidget(activity_);
  auto* emptyColumn = new QVBoxLayout(empty);
  emptyColumn->setSpacing(8);
  emptyColumn->addStretch();
  emptyColumn->addWidget(makeSymbol("tray.and.arrow.down", 36, theme::withAlpha(theme::brand(), 0.6), empty), 0,
                         Qt::AlignHCenter);
  emptyColumn->addSpacing(4);
  auto* quiet = makeLabel(QStringLiteral("A quieter way to hand off footage"), 16, QFont::Normal,
                          theme::primaryText(), empty);
  quiet->setAlignment(Qt::AlignHCenter);
  emptyColumn->addWidget(quiet, 0, Qt::AlignHCenter);
  auto* explain = makeLabel(QStringLiteral("When an authorized colleague sends footage, this computer will download "
                                           "its own copy. You can close this window."),
                            12, QFont::Normal, theme::secondaryText(), empty);
  explain->setAlignment(Qt::AlignHCenter);
  explain->setWordWrap(true);
  // At a fixed width the wrapped height is known; a centred item would otherwise get its
  // one-line height.
  explain->setFixedWidth(310);
  explain->setMinimumHeight(explain->heightForWidth(310));
  emptyColumn->addWidget(explain, 0, Qt::AlignHCenter);
  emptyColumn->addStretch();
  activity_->addWidget(empty);

  auto* busy = new QWidget(activity_);
  auto* busyColumn = new QVBoxLayout(busy);
  busyColumn->setContentsMargins(0, 0, 0, 0);
  busyColumn->setSpacing(12);
  busyColumn->addStretch();
  transfer_ = new SymbolLabel("film", {}, 15, theme::primaryText(), busy);
  transfer_->setObjectName("transfer");
  transfer_->setWordWrap(true);
  transfer_->textLabel()->setAccessibleDescription(QStringLiteral("Delivery being downloaded"));
  busyColumn->addWidget(transfer_);
  progress_ = new QProgressBar(busy);
  progress_->setRange(0, 1000);
  progress_->setTextVisible(false);
  progress_->setAccessibleName(QStringLiteral("Download progress"));
  progress_->setAccessibleDescription(QStringLiteral("Share of the delivery downloaded"));
  progress_->setFixedHeight(6);
  progress_->setStyleSheet(QStringLiteral("QProgressBar { background: rgba(0,0,0,20); border: none; border-radius: 3px; }"
                                          "QProgressBar::chunk { background: %1; border-radius: 3px; }")
                               .arg(theme::brand().name()));
  busyColumn->addWidget(progress_);
  bytes_ = makeLabel({}, 11, QFont::Normal, theme::secondaryText(), busy);
  bytes_->setObjectName("bytes");
  bytes_->setAccessibleDescription(QStringLiteral("Bytes downloaded of the delivery, its speed and the time left"));
  busyColumn->addWidget(bytes_);
  busyColumn->addStretch();
  activity_->addWidget(busy);
  return card;
}

QWidget* DownloadsSection::buildFolderRow() {
  auto* strip = new QWidget(this);
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(4, 0, 0, 0);
  folder_ = new SymbolLabel("externaldrive", {}, 11, theme::secondaryText(), strip);
  folder_->setObjectName("folderLabel");
  folder_->textLabel()->setAccessibleDescription(texts::downloadFolder);
  row->addWidget(folder_, 1);
  pause_ = new PlainButton(texts::pauseReceiving, 11, strip);
  pause_->setAccessibleDescription(QStringLiteral("Stops receiving until you enable it again"));
  row->addWidget(pause_);
  connect(pause_, &QPushButton::clicked, &model_, [this] { model_.pauseReceiving(true); });
  return strip;
}

void DownloadsSection::sync() {
  const auto& status = model_.status();
  const auto& preferences = model_.preferences();
  std::string_view symbol = status.is(AgentState::downloading) ? "arrow.down.circle.fill" : "checkmark.shield";
  if (symbol != statusSymbolName_) {
    statusSymbolName_ = symbol;
    statusSymbol_->setIcon(symbolIcon(symbol, theme::brand()));
  }
  statusTitle_->setText(statusTitle(model_));
  statusMessage_->setText(statusMessage(model_));

  bool signedOut = !model_.signedIn();
  bool noFolder = !signedOut && !preferences.destination;
  bool off = !signedOut && !noFolder && !preferences.receiving;
  signIn_->setVisible(signedOut);
  signIn_->setText(model_.busy() ? QStringLiteral("Complete sign in in your browser")
                                 : QString(texts::signIn));
  signIn_->setEnabled(!model_.busy());
  signIn_->updateGeometry();
  cancelSignIn_->setVisible(signedOut && model_.busy());
  chooseFolder_->setVisible(noFolder);
  chooseFolder_->setEnabled(!model_.choosingFolder());
  enable_->setVisible(off);
  signIn_->parentWidget()->setVisible(signedOut || noFolder || off);

  bool quiet = status.transfer.empty();
  activity_->setCurrentIndex(quiet ? 0 : 1);
  if (!quiet) {
    transfer_->setText(toQString(status.transfer));
    double fraction = status.total > 0 ? std::clamp(static_cast<double>(status.bytes) / status.total, 0.0, 1.0) : 0;
    progress_->setValue(static_cast<int>(fraction * 1000 + 0.5));
    QString bytes = formatBytes(status.bytes) + QStringLiteral(" of ") + formatBytes(status.total);
    std::string rate = rateSummary(model_.rate());
    bytes_->setText(rate.empty() ? bytes : bytes + QStringLiteral(" · ") + toQString(rate));
  }
  received_->sync();

  folder_->setText(preferences.destinationLabel.empty() ? QStringLiteral("No destination selected")
                                                        : toQString(preferences.destinationLabel));
  pause_->setVisible(preferences.receiving);
}

}  // namespace trellisant::app
