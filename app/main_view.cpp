#include "main_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app_model.h"
#include "background_dialog.h"
#include "downloads_section.h"
#include "settings_section.h"
#include "sidebar.h"
#include "symbols.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {

MainView::MainView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setMinimumSize(820, 560);
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, theme::windowBackground());
  palette.setColor(QPalette::Highlight, theme::brand());
  setPalette(palette);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  sidebar_ = new Sidebar(model_, this);
  row->addWidget(sidebar_);
  auto* divider = new QWidget(this);
  divider->setFixedWidth(1);
  divider->setAutoFillBackground(true);
  QPalette line = divider->palette();
  line.setColor(QPalette::Window, QColor(0, 0, 0, 26));
  divider->setPalette(line);
  row->addWidget(divider);

  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The controls inside take the focus; the area itself has no focus to show.
  scroll->setFocusPolicy(Qt::NoFocus);
  // A thin scroll bar; styled on the bar itself so the sheet does not reach the content.
  scroll->verticalScrollBar()->setStyleSheet(QStringLiteral(
      "QScrollBar:vertical { width: 10px; background: transparent; margin: 2px 2px 2px 0; }"
      "QScrollBar::handle:vertical { background: rgba(0,0,0,55); border-radius: 3px; min-height: 36px; }"
      "QScrollBar::handle:vertical:hover { background: rgba(0,0,0,90); }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
      "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));
  auto* page = new QWidget(scroll);
  page->setAutoFillBackground(false);
  scroll->viewport()->setAutoFillBackground(false);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(34, 28, 34, 30);
  column->setSpacing(18);
  column->addWidget(buildHeader());
  column->addWidget(buildBanner());
  downloads_ = new DownloadsSection(model_, page);
  settings_ = new SettingsSection(model_, page);
  column->addWidget(downloads_);
  column->addWidget(settings_);
  column->addStretch();
  scroll->setWidget(page);
  row->addWidget(scroll, 1);

  connect(settings_, &SettingsSection::backgroundSettingsRequested, this, &MainView::showBackgroundSettings);
  connect(&model_, &AppModel::changed, this, &MainView::sync);
  sync();
}

QWidget* MainView::buildHeader() {
  auto* header = new QWidget(this);
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(0, 0, 0, 4);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(4);
  title_ = makeLabel({}, 27, QFont::DemiBold, theme::primaryText(), header);
  title_->setObjectName("sectionTitle");
  subtitle_ = makeLabel({}, 12, QFont::Normal, theme::secondaryText(), header);
  subtitle_->setObjectName("sectionSubtitle");
  texts->addWidget(title_);
  texts->addWidget(subtitle_);
  row->addLayout(texts, 1);
  auto* website = new SymbolButton("arrow.up.right.square", QStringLiteral("Open your company website"), header);
  website->setObjectName("websiteButton");
  website->setAccessibleDescription(QStringLiteral("Opens your company’s Trellisant site in your browser"));
  row->addWidget(website, 0, Qt::AlignTop);
  connect(website, &QToolButton::clicked, &model_, &AppModel::openWebsite);
  menuButton_ = new SymbolButton("line.3.horizontal", QStringLiteral("Trellisant menu"), header);
  menuButton_->setObjectName("menuButton");
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  // The symbol says "menu" already; the style's arrow would sit on top of it.
  menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
  menuButton_->setAccessibleDescription(
      QStringLiteral("Whether Trellisant is receiving, and the commands to open the window, pause or enable "
                     "receiving, and stop receiving and quit"));
  menuButton_->setVisible(false);
  row->addWidget(menuButton_, 0, Qt::AlignTop);
  return header;
}

void MainView::setMenu(QMenu* menu) {
  menuButton_->setMenu(menu);
  menuButton_->setVisible(menu != nullptr);
}

QWidget* MainView::buildBanner() {
  banner_ = new RoundedPanel(theme::withAlpha(theme::red(), 0.06), 9, this);
  auto* row = new QHBoxLayout(banner_);
  row->setContentsMargins(15, 15, 15, 15);
  bannerText_ = new SymbolLabel("exclamationmark.circle", {}, 12, theme::red(), banner_);
  bannerText_->setObjectName("errorBanner");
  bannerText_->setWordWrap(true);
  bannerText_->textLabel()->setAccessibleDescription(QStringLiteral("The last problem"));
  row->addWidget(bannerText_);
  return banner_;
}

void MainView::sync() {
  bool settings = model_.selected() == AppModel::Section::settings;
  title_->setText(sectionTitle(model_.selected()));
  subtitle_->setText(settings
                         ? QStringLiteral("Make this computer ready for your next handoff.")
                         : QStringLiteral("Your company’s footage, delivered to this computer."));
  banner_->setVisible(!model_.error().isEmpty());
  bannerText_->setText(model_.error());
  sidebar_->sync();
  downloads_->setVisible(!settings);
  settings_->setVisible(settings);
  downloads_->sync();
  settings_->sync();
}

void MainView::showBackgroundSettings() {
  auto* dialog = new BackgroundDialog(model_, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
}

}  // namespace trellisant::app
