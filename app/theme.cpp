#include "theme.h"

#include <algorithm>

#include <QApplication>
#include <QFontInfo>
#include <QPalette>
#include <QStyleFactory>
#include <QWidget>

namespace trellisant::app::theme {

QColor brand() { return QColor::fromRgbF(0.19f, 0.36f, 0.80f); }
QColor windowBackground() { return QColor::fromRgbF(0.95f, 0.96f, 0.975f); }
QColor primaryText() { return QColor(0, 0, 0, 217); }
QColor secondaryText() { return QColor(0, 0, 0, 128); }
QColor tertiaryText() { return QColor(0, 0, 0, 77); }
QColor red() { return QColor(255, 59, 48); }

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

QFont font(double size, QFont::Weight weight) {
  QFont font = QApplication::font();
  // Points follow the desktop's text scaling; a desktop font given in pixels stays in pixels.
  if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * size / kBodySize);
  else font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * size / kBodySize + 0.5)));
  font.setWeight(weight);
  return font;
}

int pixels(double size) {
  return std::max(1, static_cast<int>(size * QFontInfo(font(kBodySize)).pixelSize() / kBodySize + 0.5));
}

void applyLightScheme(QApplication& app) {
  app.setStyle(QStyleFactory::create("Fusion"));
  QPalette palette;
  palette.setColor(QPalette::Window, windowBackground());
  palette.setColor(QPalette::WindowText, primaryText());
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::AlternateBase, QColor(245, 246, 248));
  palette.setColor(QPalette::Text, primaryText());
  palette.setColor(QPalette::Button, Qt::white);
  palette.setColor(QPalette::ButtonText, primaryText());
  palette.setColor(QPalette::Highlight, brand());
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, brand());
  palette.setColor(QPalette::ToolTipBase, Qt::white);
  palette.setColor(QPalette::ToolTipText, primaryText());
  palette.setColor(QPalette::PlaceholderText, tertiaryText());
  palette.setColor(QPalette::Light, Qt::white);
  palette.setColor(QPalette::Midlight, QColor(232, 234, 238));
  palette.setColor(QPalette::Mid, QColor(200, 203, 210));
  palette.setColor(QPalette::Dark, QColor(160, 164, 172));
  palette.setColor(QPalette::Shadow, QColor(0, 0, 0, 60));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, tertiaryText());
  app.setPalette(palette);
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

}  // namespace trellisant::app::theme
