#include "background_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include "app_model.h"
#include "qt_convert.h"
#include "texts.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {

BackgroundDialog::BackgroundDialog(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
  setWindowTitle(texts::backgroundSettings);
  setMinimumWidth(460);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 22, 24, 20);
  column->setSpacing(12);
  column->addWidget(makeLabel(QStringLiteral("Agent"), 15, QFont::DemiBold, theme::primaryText(), this));
  state_ = makeLabel({}, 12, QFont::Medium, theme::brand(), this);
  state_->setObjectName("backgroundState");
  state_->setAccessibleDescription(QStringLiteral("Agent state"));
  column->addWidget(state_);
  description_ = makeLabel({}, 12, QFont::Normal, theme::secondaryText(), this);
  description_->setObjectName("backgroundDescription");
  description_->setAccessibleDescription(QStringLiteral("Where the agent is set up"));
  description_->setWordWrap(true);
  description_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(description_);
  column->addSpacing(6);

  auto* row = new QHBoxLayout;
  row->setSpacing(10);
  toggle_ = new ActionButton({}, ActionButton::primary, this);
  row->addWidget(toggle_);
  auto* open = new PlainButton(QStringLiteral("Show its folder"), 11, this);
  row->addWidget(open);
  row->addStretch();
  auto* close = new ActionButton(QStringLiteral("Done"), ActionButton::secondary, this);
  toggle_->setAccessibleDescription(
      QStringLiteral("Starts or stops the agent at login, without changing whether receiving is on"));
  open->setAccessibleDescription(QStringLiteral("Opens the folder that holds the agent’s unit or autostart entry"));
  close->setAccessibleDescription(QStringLiteral("Closes this window"));
  row->addWidget(close);
  column->addLayout(row);

  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  connect(open, &QPushButton::clicked, &model_, &AppModel::openBackgroundSettings);
  connect(toggle_, &QPushButton::clicked, this, [this] {
    working_ = true;
    sync();
    QPointer<BackgroundDialog> self(this);
    model_.setAgentRegistered(!model_.serviceReady(), [self] {
      if (!self) return;
      self->working_ = false;
      self->sync();
    });
  });
  connect(&model_, &AppModel::serviceReadyChanged, this, &BackgroundDialog::sync);
  toggle_->setEnabled(false);  // until the login item has answered
  sync();
}

void BackgroundDialog::sync() {
  // The switch says what the model knows, so it does what it says; the rest is read afresh.
  toggle_->setText(working_                 ? QStringLiteral("Working…")
                   : model_.serviceReady() ? QStringLiteral("Turn off background receiving")
                                           : QStringLiteral("Turn on background receiving"));
  toggle_->updateGeometry();
  if (working_) toggle_->setEnabled(false);
  QPointer<BackgroundDialog> self(this);
  model_.describeAgentLoginItem([self](LoginItemStatus status, const std::string& description) {
    if (!self) return;
    switch (status) {
      case LoginItemStatus::enabled:
        self->state_->setText(QStringLiteral("Starts at login"));
        break;
      case LoginItemStatus::notRegistered:
        self->state_->setText(QStringLiteral("Not set to start at login"));
        break;
      case LoginItemStatus::notFound:
        self->state_->setText(QStringLiteral("Not installed"));
        break;
    }
    self->description_->setText(toQString(description));
    self->toggle_->setEnabled(!self->working_ && status != LoginItemStatus::notFound);
  });
}

}  // namespace trellisant::app
