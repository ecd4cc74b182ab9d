#pragma once

#include <QColor>
#include <QFont>

class QApplication;
class QWidget;

// The window's look: the brand colour, the light scheme and the text styles.
namespace trellisant::app::theme {

QColor brand();             // sRGB 0.19, 0.36, 0.80
QColor windowBackground();  // sRGB 0.95, 0.96, 0.975
QColor primaryText();
QColor secondaryText();
QColor tertiaryText();
QColor red();
QColor withAlpha(QColor color, double alpha);

// The window's text sizes are given for a desktop whose body text is this size; font() scales
// them to the desktop's own font, so that its size and text scaling apply to the window too.
inline constexpr double kBodySize = 13;
QFont font(double size, QFont::Weight weight = QFont::Normal);
// A length given with the text sizes (a symbol beside text) in pixels, scaled as font() scales
// the text.
int pixels(double size);

// Fusion with a light palette and the brand colour as highlight, whatever the desktop's theme.
void applyLightScheme(QApplication& app);

// Sets the colour a label or button draws its text in.
void setTextColor(QWidget* widget, const QColor& color);

}  // namespace trellisant::app::theme
