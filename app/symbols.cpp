#include "symbols.h"

#include <map>
#include <memory>
#include <mutex>

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

#include "svg_document.h"

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
};

bool known(std::string_view symbol) {
  for (const auto& entry : kSymbols)
    if (entry.symbol == symbol) return true;
  return false;
}

std::shared_ptr<const SvgDocument> bundled(std::string_view name) {
  static std::once_flag once;
  std::call_once(once, registerBundledSymbols);
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const SvgDocument>, std::less<>> cache;
  std::lock_guard lock(mutex);
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  auto document = SvgDocument::load(":/symbols/" + QString::fromUtf8(name.data(), name.size()) + ".svg");
  auto shared = document ? std::make_shared<const SvgDocument>(*document) : nullptr;
  cache.emplace(std::string(name), shared);
  return shared;
}

// Draws one symbol in one colour at any size; a theme icon, when given, is used as a mask.
class SymbolEngine : public QIconEngine {
 public:
  SymbolEngine(std::shared_ptr<const SvgDocument> document, QIcon theme, QColor color,
               bool keepColors)
      : document_(std::move(document)), theme_(std::move(theme)), color_(color),
        keepColors_(keepColors) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    QColor color = color_;
    if (mode == QIcon::Disabled) color.setAlphaF(color.alphaF() * 0.35f);
    if (!theme_.isNull()) {
      painter->drawPixmap(rect, tinted(rect.size() * painter->device()->devicePixelRatio(), color));
    } else if (document_) {
      document_->render(*painter, rect, color);
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
    return new SymbolEngine(document_, theme_, color_, keepColors_);
  }
  QString key() const override { return QStringLiteral("trellisant-symbol"); }

 private:
  QPixmap tinted(const QSize& size, const QColor& color) const {
    QPixmap pixmap = theme_.pixmap(size);
    if (keepColors_) return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
  }

  std::shared_ptr<const SvgDocument> document_;
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
  auto document = bundled(symbol);
  if (!document) return {};
  return QIcon(new SymbolEngine(document, QIcon(), color, false));
}

QIcon symbolIcon(std::string_view symbol, const QColor& color) {
  auto name = freedesktopName(symbol);
  if (!name.empty()) {
    QString themeName = QString::fromUtf8(name.data(), name.size());
    // A theme entry that this Qt cannot draw (an SVG without the SVG plugin) counts as none.
    QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull() && !themed.pixmap(QSize(24, 24)).isNull())
      return QIcon(new SymbolEngine(nullptr, themed, color, false));
  }
  return bundledSymbolIcon(symbol, color);
}

QIcon appIcon() {
  auto document = bundled("trellisant");
  if (!document) return {};
  return QIcon(new SymbolEngine(document, QIcon(), Qt::black, true));
}

}  // namespace trellisant::app
