#include "sidebar.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app_model.h"
#include "qt_convert.h"
#include "settings/app_configuration.h"
#include "symbols.h"
#include "texts.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::app {

SectionButton::SectionButton(const QString& section, std::string_view symbol, QWidget* parent)
    : QAbstractButton(parent),
      normal_(symbolIcon(symbol, theme::secondaryText())),
      highlighted_(symbolIcon(symbol, theme::brand())) {
  setText(section);
  setFont(theme::font(12, QFont::Medium));
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  // Checked is "selected", so assistive technology reads which section is shown; the model,
  // not a click, decides it.
  setCheckable(true);
  setAutoExclusive(true);
}

void SectionButton::setSelected(bool selected) { setChecked(selected); }

void SectionButton::nextCheckState() {}

QSize SectionButton::sizeHint() const {
  QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()) + 44, metrics.height() + 16};
}

void SectionButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (isDown()) painter.setOpacity(0.75);
  if (selected()) {
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, theme::withAlpha(theme::brand(), 0.09));
  }
  if (showsFocus(this)) drawFocusRing(painter, QRectF(rect()).adjusted(3, 3, -3, -3), 6);
  QColor color = selected() ? theme::brand() : theme::secondaryText();
  int side = QFontMetrics(font()).height();
  QRect place(10, (height() - side) / 2, side, side);
  (selected() ? highlighted_ : normal_).paint(&painter, place);
  painter.setFont(font());
  painter.setPen(color);
  painter.drawText(rect().adjusted(10 + side + 8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, text());
}

Sidebar::Sidebar(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setFixedWidth(210);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(22, 22, 22, 22);
  column->setSpacing(4);

  auto* title = new QHBoxLayout;
  title->setSpacing(8);
  title->addWidget(makeSymbol("arrow.down.left.arrow.up.right", 20, theme::brand(), this));
  title->addWidget(makeLabel(texts::appName, 17, QFont::DemiBold, theme::primaryText(), this));
  title->addStretch();
  column->addLayout(title);
  column->addSpacing(22);

  using Section = AppModel::Section;
  const std::tuple<Section, std::string_view, QString> sections[] = {
      {Section::downloads, "arrow.down.circle",
       QStringLiteral("Shows the receiving status and the current delivery")},
      {Section::settings, "slider.horizontal.3",
       QStringLiteral("Shows the download folder, overnight, receiving and connection settings")}};
  for (const auto& [section, symbol, description] : sections) {
    auto* button = new SectionButton(sectionTitle(section), symbol, this);
    button->setAccessibleDescription(description);
    connect(button, &QAbstractButton::clicked, this,
            [this, section] { model_.setSelected(section); });
    buttons_.append({section, button});
    column->addWidget(button);
  }
  column->addStretch();

  column->addWidget(new SymbolLabel("hammer", QStringLiteral("Development build"), 10, theme::secondaryText(), this));
  column->addSpacing(2);
  column->addWidget(makeLabel(toQString(AppConfiguration::version()) + QStringLiteral(" • Linux"), 10,
                              QFont::Normal, theme::tertiaryText(), this));
  sync();
}

void Sidebar::sync() {
  for (auto [section, button] : buttons_) {
    bool selected = section == model_.selected();
    button->setSelected(selected);
    // One group, as radio buttons are: Tab reaches the section shown, the arrow keys the others.
    button->setFocusPolicy(selected ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

void Sidebar::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), Qt::white); }

}  // namespace trellisant::app
