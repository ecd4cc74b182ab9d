#include "widgets.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>

#include "symbols.h"
#include "theme.h"

namespace trellisant::app {

RoundedPanel::RoundedPanel(QColor fill, double radius, QWidget* parent)
    : QWidget(parent), fill_(fill), radius_(radius) {
  setAttribute(Qt::WA_StyledBackground, false);
}

void RoundedPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath shape;
  shape.addRoundedRect(area, radius_, radius_);
  painter.fillPath(shape, fill_);
  if (outline_.isValid()) painter.strokePath(shape, QPen(outline_, 1));
}

// ---- ActionButton

namespace {
constexpr int kHorizontalMargin = 15;
constexpr int kVerticalMargin = 10;
constexpr int kSymbolGap = 7;
}  // namespace

ActionButton::ActionButton(const QString& text, Emphasis emphasis, QWidget* parent)
    : QPushButton(text, parent), secondary_(emphasis == secondary) {
  setFont(theme::font(12, QFont::DemiBold));
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ActionButton::setSymbol(std::string_view symbol) {
  symbol_ = symbolIcon(symbol, secondary_ ? theme::primaryText() : QColor(Qt::white));
  updateGeometry();
  update();
}

QSize ActionButton::sizeHint() const {
  QFontMetrics metrics(font());
  int width = metrics.horizontalAdvance(text()) + 2 * kHorizontalMargin;
  if (!symbol_.isNull()) width += metrics.height() + 2 + kSymbolGap;
  return {width + 2 * kFocusMargin, metrics.height() + 2 * kVerticalMargin + 2 * kFocusMargin};
}

void ActionButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF area = QRectF(rect()).adjusted(kFocusMargin + 0.5, kFocusMargin + 0.5, -kFocusMargin - 0.5,
                                        -kFocusMargin - 0.5);
  if (showsFocus(this)) drawFocusRing(painter, area, 8);
  if (!isEnabled()) painter.setOpacity(0.45);
  else if (isDown()) painter.setOpacity(0.8);

  QPainterPath shape;
  shape.addRoundedRect(area, 8, 8);
  painter.fillPath(shape, secondary_ ? QColor(Qt::white) : theme::brand());
  if (secondary_) painter.strokePath(shape, QPen(QColor(128, 128, 128, 51), 1));

  QFontMetrics metrics(font());
  int symbolSide = symbol_.isNull() ? 0 : metrics.height() + 2;
  int contentWidth = metrics.horizontalAdvance(text()) + (symbolSide ? symbolSide + kSymbolGap : 0);
  int x = (width() - contentWidth) / 2;
  if (symbolSide) {
    QRect place(x, (height() - symbolSide) / 2, symbolSide, symbolSide);
    symbol_.paint(&painter, place);
    x += symbolSide + kSymbolGap;
  }
  painter.setFont(font());
  painter.setPen(secondary_ ? theme::primaryText() : QColor(Qt::white));
  painter.drawText(QRect(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

// ---- PlainButton

PlainButton::PlainButton(const QString& text, double size, QWidget* parent) : QPushButton(text, parent) {
  setFont(theme::font(size, QFont::Medium));
  setCursor(Qt::PointingHandCursor);
  setFlat(true);
  setAttribute(Qt::WA_Hover);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PlainButton::setSymbol(std::string_view symbol, double size) {
  symbol_ = symbolIcon(symbol, theme::brand());
  symbolSize_ = theme::pixels(size);
  updateGeometry();
}

QSize PlainButton::sizeHint() const {
  QFontMetrics metrics(font());
  int width = metrics.horizontalAdvance(text()) + 2;
  if (!symbol_.isNull()) width += symbolSize_ + 5;
  return {width + 2 * kFocusMargin, std::max(metrics.height(), symbolSize_) + 8};
}

void PlainButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (showsFocus(this)) drawFocusRing(painter, QRectF(rect()).adjusted(3, 3, -3, -3), 4);
  if (isDown()) painter.setOpacity(0.6);
  QColor color = isEnabled() ? theme::brand() : theme::tertiaryText();
  int x = kFocusMargin;
  if (!symbol_.isNull()) {
    QRect place(x, (height() - symbolSize_) / 2, symbolSize_, symbolSize_);
    symbol_.paint(&painter, place, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    x += symbolSize_ + 5;
  }
  QFont drawn = font();
  drawn.setUnderline(underMouse() && isEnabled());
  painter.setFont(drawn);
  painter.setPen(color);
  painter.drawText(QRect(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

// ---- ToggleSwitch

namespace {
constexpr double kTrackWidth = 34;
constexpr double kTrackHeight = 20;
}  // namespace

ToggleSwitch::ToggleSwitch(const QString& text, double size, QWidget* parent) : QAbstractButton(parent) {
  setText(text);
  setCheckable(true);
  setFont(theme::font(size));
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize ToggleSwitch::sizeHint() const {
  QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()) + 16 + static_cast<int>(kTrackWidth) + kFocusMargin,
          std::max(metrics.height(), static_cast<int>(kTrackHeight)) + 2 * kFocusMargin};
}

QRectF ToggleSwitch::trackRect() const {
  return {width() - kTrackWidth - kFocusMargin, (height() - kTrackHeight) / 2, kTrackWidth, kTrackHeight};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setFont(font());
  painter.setPen(isEnabled() ? theme::primaryText() : theme::tertiaryText());
  painter.drawText(QRectF(0, 0, trackRect().left() - 8, height()), Qt::AlignVCenter | Qt::AlignLeft, text());

  QRectF track = trackRect();
  if (showsFocus(this)) drawFocusRing(painter, track, track.height() / 2);
  if (!isEnabled()) painter.setOpacity(0.5);
  QColor trackColor = isChecked() ? theme::brand() : QColor(0, 0, 0, 38);
  painter.setPen(Qt::NoPen);
  painter.setBrush(trackColor);
  painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
  double knob = track.height() - 4;
  double x = isChecked() ? track.right() - knob - 2 : track.left() + 2;
  QRectF knobRect(x, track.top() + 2, knob, knob);
  painter.setBrush(QColor(0, 0, 0, 30));
  painter.drawEllipse(knobRect.translated(0, 0.6));
  painter.setBrush(Qt::white);
  painter.drawEllipse(knobRect);
}

// ---- Stepper

namespace {

// One half of the stepper's pill: a "−" or "+" drawn as lines.
class StepButton : public QAbstractButton {
 public:
  StepButton(bool plus, QWidget* parent) : QAbstractButton(parent), plus_(plus) {
    setFixedSize(24, 22);
    setCursor(Qt::PointingHandCursor);
    setAutoRepeat(true);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown()) painter.fillRect(rect(), QColor(0, 0, 0, 20));
    // Inside the pill, which leaves no room around the button.
    if (showsFocus(this)) drawFocusRing(painter, QRectF(rect()).adjusted(3, 3, -3, -3), 4);
    painter.setPen(QPen(isEnabled() ? theme::primaryText() : theme::tertiaryText(), 1.5, Qt::SolidLine, Qt::RoundCap));
    QPointF c = QRectF(rect()).center();
    painter.drawLine(c + QPointF(-4, 0), c + QPointF(4, 0));
    if (plus_) painter.drawLine(c + QPointF(0, -4), c + QPointF(0, 4));
  }

 private:
  bool plus_;
};

}  // namespace

Stepper::Stepper(QString prefix, QString suffix, int minimum, int maximum, double size, QWidget* parent)
    : QWidget(parent), prefix_(std::move(prefix)), suffix_(std::move(suffix)), minimum_(minimum),
      maximum_(maximum), value_(minimum) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  label_ = makeLabel({}, size, QFont::Normal, theme::primaryText(), this);
  label_->setMinimumWidth(label_->fontMetrics().horizontalAdvance(prefix_ + QStringLiteral("00") + suffix_) + 2);
  row->addWidget(label_);
  auto* pill = new RoundedPanel(Qt::white, 6, this);
  pill->setOutline(QColor(0, 0, 0, 45));
  auto* buttons = new QHBoxLayout(pill);
  buttons->setContentsMargins(1, 1, 1, 1);
  buttons->setSpacing(0);
  down_ = new StepButton(false, pill);
  up_ = new StepButton(true, pill);
  auto* line = new QWidget(pill);
  line->setFixedSize(1, 14);
  line->setAutoFillBackground(true);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, QColor(0, 0, 0, 30));
  line->setPalette(palette);
  buttons->addWidget(down_);
  buttons->addWidget(line, 0, Qt::AlignVCenter);
  buttons->addWidget(up_);
  row->addWidget(pill);
  connect(down_, &QAbstractButton::clicked, this, &Stepper::stepDown);
  connect(up_, &QAbstractButton::clicked, this, &Stepper::stepUp);
  QString name = prefix_.trimmed();
  down_->setAccessibleName(name + QStringLiteral(": one hour earlier"));
  up_->setAccessibleName(name + QStringLiteral(": one hour later"));
  sync();
}

void Stepper::setValue(int value) {
  value = std::clamp(value, minimum_, maximum_);
  if (value == value_) return;
  value_ = value;
  sync();
  emit valueChanged(value_);
}

QString Stepper::text() const { return prefix_ + QString::number(value_) + suffix_; }

void Stepper::sync() {
  label_->setText(text());
  down_->setAccessibleDescription(text());
  up_->setAccessibleDescription(text());
  down_->setEnabled(value_ > minimum_);
  up_->setEnabled(value_ < maximum_);
}

// ---- labels

QLabel* makeLabel(const QString& text, double size, QFont::Weight weight, const QColor& color,
                  QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(theme::font(size, weight));
  theme::setTextColor(label, color);
  label->setTextFormat(Qt::PlainText);
  return label;
}

SymbolView* makeSymbol(std::string_view symbol, double size, const QColor& color, QWidget* parent) {
  return new SymbolView(symbolIcon(symbol, color), theme::pixels(size), parent);
}

SymbolView::SymbolView(const QIcon& icon, int side, QWidget* parent) : QWidget(parent), icon_(icon), side_(side) {
  setFixedSize(side, side);
}

void SymbolView::setIcon(const QIcon& icon) {
  icon_ = icon;
  update();
}

void SymbolView::setSide(int side) {
  side_ = side;
  update();
}

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  icon_.paint(&painter, QRect((width() - side_) / 2, (height() - side_) / 2, side_, side_));
}

SymbolButton::SymbolButton(std::string_view symbol, const QString& name, QWidget* parent) : QToolButton(parent) {
  setIcon(symbolIcon(symbol, theme::secondaryText()));
  setIconSize(QSize(22, 22));
  setAutoRaise(true);
  setCursor(Qt::PointingHandCursor);
  setToolTip(name);
  setAccessibleName(name);
}

void SymbolButton::paintEvent(QPaintEvent* event) {
  QToolButton::paintEvent(event);
  if (!showsFocus(this)) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  drawFocusRing(painter, QRectF(rect()).adjusted(3, 3, -3, -3), 5);
}

bool showsFocus(const QWidget* widget) {
  return widget->hasFocus() && widget->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void drawFocusRing(QPainter& painter, const QRectF& shape, double radius) {
  painter.save();
  painter.setOpacity(1);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(theme::brand(), 2));
  painter.drawRoundedRect(shape.adjusted(-2, -2, 2, 2), radius + 2, radius + 2);
  painter.restore();
}

SymbolLabel::SymbolLabel(std::string_view symbol, const QString& text, double size, const QColor& color,
                         QWidget* parent)
    : QWidget(parent), color_(color) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(static_cast<int>(size * 0.5 + 2));
  symbol_ = new SymbolView({}, 0, this);
  text_ = makeLabel(text, size, QFont::Normal, color, this);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  row->addWidget(symbol_, 0, Qt::AlignTop);
  row->addWidget(text_, 1);
  setSymbol(symbol, size * 1.25);
}

void SymbolLabel::setSymbol(std::string_view symbol, double size) {
  int side = theme::pixels(size);
  symbol_->setIcon(symbolIcon(symbol, color_));
  symbol_->setSide(side);
  // As tall as the first line of text, so that the symbol sits beside it.
  symbol_->setFixedSize(side, std::max(side, text_->fontMetrics().height()));
}

}  // namespace trellisant::app
