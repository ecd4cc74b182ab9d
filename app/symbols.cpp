#include "symbols.h"

#include <map>
#include <mutex>

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources live in a static library; nothing references them, so the linker would
// otherwise drop their registration.
static void registerBundledSymbols() { Q_INIT_RESOURCE(icons); }

namespace trellisant::app {
namespace {

struct SymbolName {
  std::string_view symbol;
  std::string_view freedesktop;
};

constexpr SymbolName kSymbols[] = {
    {"arrow.down.left.arrow.up.right", "network-transmit-receive-symbolic"},
    {"arrow.down.circle", "folder-download-symbolic"},
    {"arrow.down.circle.fill", ""},
    {"slider.horizontal.3", "preferences-system-symbolic"},
    {"hammer", "applications-engineering-symbolic"},
    {"arrow.up.right.square", "web-browser-symbolic"},
    {"arrow.up.right", ""},
    {"exclamationmark.circle", "dialog-error-symbolic"},
    {"checkmark.shield", "security-high-symbolic"},
    {"lock.shield", "channel-secure-symbolic"},
    {"tray.and.arrow.down", "document-save-symbolic"},
    {"film", "video-x-generic-symbolic"},
    {"externaldrive", "drive-harddisk-symbolic"},
    {"checkmark.circle", "emblem-ok-symbolic"},
    {"line.3.horizontal", "open-menu-symbolic"},
};

bool known(std::string_view symbol) {
  for (const auto& entry : kSymbols)
    if (entry.symbol == symbol) return true;
  return false;
}

// The bundled SVG's text; empty when there is none.
QByteArray bundled(std::string_view name) {
  static std::once_flag once;
  std::call_once(once, registerBundledSymbols);
  static std::mutex mutex;
  static std::map<std::string, QByteArray, std::less<>> cache;
  std::lock_guard lock(mutex);
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  QFile file(":/symbols/" + QString::fromUtf8(name.data(), name.size()) + ".svg");
  QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  cache.emplace(std::string(name), text);
  return text;
}

// Draws one symbol in one colour at any size; a theme icon, when given, is used as a mask.
class SymbolEngine : public QIconEngine {
 public:
  SymbolEngine(QByteArray svg, QIcon theme, QColor color, bool keepColors)
      : svg_(std::move(svg)), theme_(std::move(theme)), color_(color), keepColors_(keepColors) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    QColor color = color_;
    if (mode == QIcon::Disabled) color.setAlphaF(color.alphaF() * 0.35f);
    if (!theme_.isNull()) {
      painter->drawPixmap(rect, tinted(rect.size() * painter->device()->devicePixelRatio(), color));
    } else if (!svg_.isEmpty()) {
      // The symbols draw in "currentColor"; other colours in them (a filled symbol's white
      // cut-out) stay as drawn, which tinting the whole picture would lose.
      QByteArray text = svg_;
      if (!keepColors_) text.replace("currentColor", color.name(QColor::HexRgb).toUtf8());
      QSvgRenderer renderer(text);
      renderer.setAspectRatioMode(Qt::KeepAspectRatio);
      painter->save();
      painter->setOpacity(painter->opacity() * color.alphaF());
      renderer.render(painter, rect);
      painter->restore();
    }
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(&painter, QRect(QPoint(), size), mode, state);
    return pixmap;
  }

  QIconEngine* clone() const override {
    return new SymbolEngine(svg_, theme_, color_, keepColors_);
  }
  QString key() const override { return QStringLiteral("trellisant-symbol"); }

 private:
  QPixmap tinted(const QSize& size, const QColor& color) const {
    QPixmap pixmap = theme_.pixmap(size, 1.0);  // `size` is already in device pixels
    if (keepColors_) return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
  }

  QByteArray svg_;
  QIcon theme_;
  QColor color_;
  bool keepColors_;
};

}  // namespace

std::string_view freedesktopName(std::string_view symbol) {
  for (const auto& entry : kSymbols)
    if (entry.symbol == symbol) return entry.freedesktop;
  return {};
}

QIcon bundledSymbolIcon(std::string_view symbol, const QColor& color) {
  if (!known(symbol)) return {};
  QByteArray svg = bundled(symbol);
  if (svg.isEmpty()) return {};
  return QIcon(new SymbolEngine(svg, QIcon(), color, false));
}

namespace {

// The icon theme's icon of this name, or nothing; an entry that this Qt cannot draw (an SVG
// without the SVG plugin) counts as none.
QIcon themed(std::string_view name) {
  if (name.empty()) return {};
  QIcon icon = QIcon::fromTheme(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
  if (icon.isNull() || icon.pixmap(QSize(24, 24), 1.0).isNull()) return {};
  return icon;
}

}  // namespace

QIcon symbolIcon(std::string_view symbol, const QColor& color) {
  if (QIcon icon = themed(freedesktopName(symbol)); !icon.isNull())
    return QIcon(new SymbolEngine({}, icon, color, false));
  return bundledSymbolIcon(symbol, color);
}

QIcon appIcon() {
  // The installed icon, which an icon theme may restyle; the bundled drawing otherwise.
  if (QIcon icon = themed("trellisant"); !icon.isNull()) return icon;
  QByteArray svg = bundled("trellisant");
  if (svg.isEmpty()) return {};
  return QIcon(new SymbolEngine(svg, QIcon(), Qt::black, true));
}

}  // namespace trellisant::app
