#include "texts.h"
#include "tray_menu.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "app_model.h"
#include "qt_convert.h"
#include "symbols.h"
#include "theme.h"

namespace trellisant::app {

TrayMenu::TrayMenu(AppModel& model, QObject* parent)
    : QObject(parent), model_(model), menu_(new QMenu), windowMenu_(new QMenu), icon_(new QSystemTrayIcon(this)) {
  receiving_ = menu_->addAction(QString());
  receiving_->setEnabled(false);  // a line of text, not a command
  message_ = menu_->addAction(QString());
  message_->setEnabled(false);
  menu_->addSeparator();
  open_ = menu_->addAction(QStringLiteral("Open Trellisant"));
  toggle_ = menu_->addAction(QString());
  menu_->addSeparator();
  quit_ = menu_->addAction(QStringLiteral("Stop receiving and quit"));
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit_->setShortcutContext(Qt::ApplicationShortcut);
  windowMenu_->addActions(menu_->actions());

  connect(open_, &QAction::triggered, this, &TrayMenu::openWindowRequested);
  connect(toggle_, &QAction::triggered, this, [this] {
    if (model_.preferences().receiving) model_.pauseReceiving(false);
    else model_.enable();
  });
  connect(quit_, &QAction::triggered, this, [this] {
    QMetaObject::invokeMethod(&model_, [this] { model_.stop(true); }, Qt::QueuedConnection);
  });
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit openWindowRequested();
  });
  icon_->setContextMenu(menu_);
  connect(&model_, &AppModel::changed, this, &TrayMenu::sync);
  sync();
}

TrayMenu::~TrayMenu() {
  delete windowMenu_;
  delete menu_;
}

void TrayMenu::sync() {
  bool receiving = model_.preferences().receiving;
  receiving_->setText(receiving ? QStringLiteral("Trellisant is receiving")
                                : QString(texts::receivingPaused));
  // Menus treat "&" as a mnemonic marker; the message is shown as is.
  message_->setText(toQString(model_.status().message).replace('&', QStringLiteral("&&")));
  toggle_->setText(receiving ? texts::pauseReceiving : texts::enableReceiving);
  // While a delivery downloads, the tooltip gives its speed and the time left beside the message.
  std::string rate = model_.status().is(AgentState::downloading) ? rateSummary(model_.rate()) : "";
  icon_->setToolTip(rate.empty() ? QString(texts::appName)
                                 : QString(texts::appName) + QStringLiteral(": ") +
                                       toQString(model_.status().message + " · " + rate));

  bool filled = model_.status().is(AgentState::downloading);
  if (!iconSet_ || filled != filled_) {
    filled_ = filled;
    iconSet_ = true;
    icon_->setIcon(bundledSymbolIcon(filled ? "arrow.down.circle.fill" : "arrow.down.circle", theme::brand()));
  }
}

}  // namespace trellisant::app
