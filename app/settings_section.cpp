#include "settings_section.h"

#include <cmath>

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QVBoxLayout>

#include "app_model.h"
#include "qt_convert.h"
#include "texts.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {
namespace {

Stepper* hourStepper(const QString& prefix, QWidget* parent) {
  return new Stepper(prefix, QStringLiteral(":00"), 0, 23, 11, parent);
}

QString formatMbps(double value) { return QLocale().toString(value, 'g', 12); }

}  // namespace

SettingsSection::SettingsSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(16);
  column->addWidget(buildFolderCard());
  column->addWidget(buildOvernightCard());
  column->addWidget(buildReceivingCard());
  column->addWidget(buildConnectionCard());
  sync();
}

QWidget* SettingsSection::settingsCard(const QString& title, QVBoxLayout*& content) {
  auto* card = new RoundedPanel(Qt::white, 11, this);
  auto* column = new QVBoxLayout(card);
  column->setContentsMargins(20, 20, 20, 20);
  column->setSpacing(15);
  column->addWidget(makeLabel(title, 13, QFont::DemiBold, theme::primaryText(), card));
  content = new QVBoxLayout;
  content->setSpacing(10);
  column->addLayout(content);
  return card;
}

QWidget* SettingsSection::buildFolderCard() {
  QVBoxLayout* content;
  QWidget* card = settingsCard(texts::downloadFolder, content);
  auto* row = new QHBoxLayout;
  folderLabel_ = makeLabel({}, 12, QFont::Normal, theme::primaryText(), card);
  folderLabel_->setObjectName("settingsFolderLabel");
  folderLabel_->setAccessibleDescription(texts::downloadFolder);
  folderLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  row->addWidget(folderLabel_, 1);
  chooseFolder_ = new ActionButton(texts::chooseFolder, ActionButton::secondary, card);
  chooseFolder_->setAccessibleDescription(texts::chooseFolderDescription);
  row->addWidget(chooseFolder_);
  content->addLayout(row);
  folderHint_ = makeLabel(QStringLiteral("Choosing a different folder pauses receiving. Cancel keeps your current folder."),
                          11, QFont::Normal, theme::secondaryText(), card);
  folderHint_->setWordWrap(true);
  content->addWidget(folderHint_);
  folderNotice_ = new SymbolLabel("checkmark.circle", {}, 11, theme::brand(), card);
  folderNotice_->setObjectName("folderNotice");
  folderNotice_->textLabel()->setAccessibleDescription(QStringLiteral("Download folder notice"));
  folderNotice_->setWordWrap(true);
  content->addWidget(folderNotice_);
  enable_ = new ActionButton(texts::enableReceiving, ActionButton::primary, card);
  enable_->setAccessibleDescription(texts::enableDescription);
  content->addWidget(enable_, 0, Qt::AlignLeft);
  connect(chooseFolder_, &QPushButton::clicked, &model_, [this] {
    QMetaObject::invokeMethod(&model_, &AppModel::chooseFolder, Qt::QueuedConnection);
  });
  connect(enable_, &QPushButton::clicked, &model_, &AppModel::enable);
  return card;
}

QWidget* SettingsSection::buildOvernightCard() {
  QVBoxLayout* content;
  QWidget* card = settingsCard(QStringLiteral("Overnight availability"), content);
  overnight_ = new ToggleSwitch(QStringLiteral("Keep this computer available overnight"), 12, card);
  overnight_->setAccessibleDescription(QStringLiteral("Prevents idle sleep during the overnight hours"));
  content->addWidget(overnight_);
  auto* note = makeLabel(QStringLiteral("Prevents idle sleep while waiting on power. Your screen can stay locked. "
                                        "Keep the lid open."),
                         11, QFont::Normal, theme::secondaryText(), card);
  note->setWordWrap(true);
  content->addWidget(note);
  auto* hours = new QHBoxLayout;
  hours->setSpacing(22);
  startHour_ = hourStepper(QStringLiteral("From "), card);
  endHour_ = hourStepper(QStringLiteral("Until "), card);
  hours->addWidget(startHour_);
  hours->addWidget(endHour_);
  hours->addStretch();
  content->addLayout(hours);
  timeZone_ = makeLabel({}, 10, QFont::Normal, theme::secondaryText(), card);
  timeZone_->setAccessibleDescription(QStringLiteral("Time zone of the overnight hours"));
  content->addWidget(timeZone_);

  connect(overnight_, &QAbstractButton::toggled, this, [this](bool on) {
    if (on != model_.preferences().overnight) model_.changePreferences([on](Preferences& p) { p.overnight = on; });
  });
  connect(startHour_, &Stepper::valueChanged, this, [this](int hour) {
    if (hour != model_.preferences().startHour) model_.changePreferences([hour](Preferences& p) { p.startHour = hour; });
  });
  connect(endHour_, &Stepper::valueChanged, this, [this](int hour) {
    if (hour != model_.preferences().endHour) model_.changePreferences([hour](Preferences& p) { p.endHour = hour; });
  });
  return card;
}

QWidget* SettingsSection::buildReceivingCard() {
  QVBoxLayout* content;
  QWidget* card = settingsCard(QStringLiteral("Receiving preferences"), content);
  battery_ = new ToggleSwitch(QStringLiteral("Allow downloads on battery"), 12, card);
  battery_->setAccessibleDescription(QStringLiteral("Lets downloads run while this computer is on battery power"));
  content->addWidget(battery_);
  auto* row = new QHBoxLayout;
  row->setSpacing(8);
  row->addWidget(makeLabel(texts::bandwidthLimit, 12, QFont::Normal, theme::primaryText(), card));
  bandwidth_ = new QLineEdit(card);
  bandwidth_->setObjectName("bandwidth");
  bandwidth_->setFixedWidth(70);
  bandwidth_->setPlaceholderText(QStringLiteral("Unlimited"));
  bandwidth_->setAccessibleName(texts::bandwidthLimit);
  bandwidth_->setAccessibleDescription(QStringLiteral("Megabits per second, 0 for unlimited"));
  bandwidth_->setFont(theme::font(12));
  bandwidth_->setStyleSheet(QStringLiteral("QLineEdit { background: white; border: 1px solid rgba(0,0,0,45);"
                                           " border-radius: 6px; padding: 3px 6px; }"
                                           "QLineEdit:focus { border: 2px solid %1; padding: 2px 5px; }")
                                .arg(theme::brand().name()));
  row->addWidget(bandwidth_);
  row->addWidget(makeLabel(QStringLiteral("Mbps, 0 for unlimited"), 10, QFont::Normal, theme::secondaryText(), card));
  row->addStretch();
  content->addLayout(row);
  auto* notifications = new PlainButton(QStringLiteral("Allow completion notifications"), 11, card);
  notifications->setAccessibleDescription(
      QStringLiteral("Asks the desktop to show a notification when footage is ready"));
  content->addWidget(notifications, 0, Qt::AlignLeft);

  connect(battery_, &QAbstractButton::toggled, this, [this](bool on) {
    if (on != model_.preferences().allowBattery)
      model_.changePreferences([on](Preferences& p) { p.allowBattery = on; });
  });
  connect(bandwidth_, &QLineEdit::editingFinished, this, &SettingsSection::commitBandwidth);
  connect(notifications, &QPushButton::clicked, &model_, &AppModel::allowNotifications);
  return card;
}

void SettingsSection::commitBandwidth() {
  QString text = bandwidth_->text().trimmed();
  bool ok = true;
  // An emptied field means no limit, as its placeholder says.
  double value = text.isEmpty() ? 0 : QLocale().toDouble(text, &ok);
  if (!ok) value = text.toDouble(&ok);
  if (!ok || !std::isfinite(value)) {
    bandwidth_->setText(formatMbps(model_.preferences().bandwidthMbps));
    return;
  }
  model_.changePreferences([value](Preferences& p) { p.setBandwidth(value); });
  bandwidth_->setText(formatMbps(model_.preferences().bandwidthMbps));
}

QWidget* SettingsSection::buildConnectionCard() {
  QVBoxLayout* content;
  QWidget* card = settingsCard(QStringLiteral("Connection"), content);
  server_ = new SymbolLabel("lock.shield", {}, 12, theme::primaryText(), card);
  server_->setObjectName("server");
  server_->textLabel()->setAccessibleDescription(QStringLiteral("Company server"));
  content->addWidget(server_);
  content->addWidget(makeLabel(QStringLiteral("Sign in opens your Trellisant account in your browser."), 11,
                               QFont::Normal, theme::secondaryText(), card));
  auto* row = new QHBoxLayout;
  row->setSpacing(14);
  testReadiness_ =
      new ActionButton(QStringLiteral("Test readiness"), ActionButton::secondary, card);
  row->addWidget(testReadiness_);
  testReadiness_->setAccessibleDescription(QStringLiteral("Checks sign-in, folder access and the device’s connection"));
  auto* background = new PlainButton(texts::backgroundSettings, 11, card);
  background->setAccessibleDescription(QStringLiteral("Shows how the agent runs in the background"));
  row->addWidget(background);
  row->addStretch();
  content->addLayout(row);
  signOut_ = new PlainButton(QStringLiteral("Sign out of this computer"), 11, card);
  signOut_->setAccessibleDescription(QStringLiteral("Signs this computer out of your company and stops receiving"));
  content->addWidget(signOut_, 0, Qt::AlignLeft);

  connect(testReadiness_, &QPushButton::clicked, &model_, [this] {
    QMetaObject::invokeMethod(&model_, &AppModel::testReadiness, Qt::QueuedConnection);
  });
  connect(background, &QPushButton::clicked, this, &SettingsSection::backgroundSettingsRequested);
  connect(signOut_, &QPushButton::clicked, &model_, [this] {
    QMetaObject::invokeMethod(&model_, &AppModel::signOut, Qt::QueuedConnection);
  });
  return card;
}

void SettingsSection::sync() {
  const auto& p = model_.preferences();
  bool choosing = model_.choosingFolder();
  bool busy = model_.busy();

  folderLabel_->setText(p.destinationLabel.empty() ? QStringLiteral("Choose a local or external disk")
                                                   : toQString(p.destinationLabel));
  chooseFolder_->setText(choosing ? QStringLiteral("Choosing folder…")
                                  : QString(texts::chooseFolder));
  chooseFolder_->updateGeometry();
  chooseFolder_->setEnabled(!choosing && !busy);
  folderHint_->setVisible(p.receiving);
  folderNotice_->setText(model_.folderNotice());
  folderNotice_->setVisible(!model_.folderNotice().isEmpty());
  enable_->setVisible(model_.signedIn() && p.destination && !p.receiving);
  enable_->setEnabled(!choosing && !busy);

  QSignalBlocker blockOvernight(overnight_), blockStart(startHour_), blockEnd(endHour_), blockBattery(battery_);
  overnight_->setChecked(p.overnight);
  startHour_->setValue(static_cast<int>(p.startHour));
  endHour_->setValue(static_cast<int>(p.endHour));
  timeZone_->setText(toQString(p.timeZone));
  battery_->setChecked(p.allowBattery);
  if (!bandwidth_->hasFocus()) bandwidth_->setText(formatMbps(p.bandwidthMbps));

  server_->setText(toQString(p.server));
  testReadiness_->setEnabled(!busy);
  signOut_->setVisible(model_.signedIn());
}

}  // namespace trellisant::app
