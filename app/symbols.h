#pragma once

#include <string_view>

#include <QColor>
#include <QIcon>

// The window's symbols: the icon theme's symbolic icon of the matching freedesktop name where
// the theme has one, else the SVG bundled with the app; both drawn in one colour.
namespace trellisant::app {

// `symbol` is the symbol's own name ("arrow.down.circle"); an unknown name gives a null icon.
QIcon symbolIcon(std::string_view symbol, const QColor& color);
// Only the bundled drawing, for places whose meaning depends on its exact shape (the tray's
// filled and outlined circles).
QIcon bundledSymbolIcon(std::string_view symbol, const QColor& color);
// The freedesktop name a symbol maps to ("" when none fits).
std::string_view freedesktopName(std::string_view symbol);
// The program's own icon (also installed for the desktop entry).
QIcon appIcon();

}  // namespace trellisant::app
