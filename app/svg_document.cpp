#include "svg_document.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QTransform>
#include <QXmlStreamReader>

namespace trellisant::app {

// Walks the document once, keeping the inherited presentation attributes per nesting level.
class SvgParser {
 public:
  using Shape = SvgDocument::Shape;
  using Paint = SvgDocument::Paint;

  struct Context {
    Shape style;  // path unused
    QTransform transform;
  };

  std::optional<SvgDocument> run(const QByteArray& text) {
    QXmlStreamReader xml(text);
    std::vector<Context> stack;
    SvgDocument document;
    while (!xml.atEnd()) {
      auto token = xml.readNext();
      if (token == QXmlStreamReader::EndElement) {
        stack.pop_back();
        continue;
      }
      if (token != QXmlStreamReader::StartElement) continue;
      const auto name = xml.name();
      const auto attributes = xml.attributes();
      if (stack.empty()) {
        if (name != u"svg") return std::nullopt;
        Context root;
        root.style.fill.color = Qt::black;  // SVG's initial fill
        stack.push_back(root);
        if (!readViewBox(attributes, document)) return std::nullopt;
      } else {
        stack.push_back(stack.back());
      }
      Context& context = stack.back();
      applyStyle(attributes, context);
      if (name == u"svg" || name == u"g") continue;
      auto path = geometry(name, attributes);
      if (!path) return std::nullopt;
      Shape shape = context.style;
      shape.path = context.transform.map(*path);
      shape.path.setFillRule(shape.fillRule);
      document.shapes_.push_back(shape);
    }
    if (xml.hasError() || document.shapes_.empty()) return std::nullopt;
    return document;
  }

 private:
  static double number(const QXmlStreamAttributes& attributes, const char* name, double fallback = 0) {
    bool ok = false;
    double value = attributes.value(QLatin1String(name)).toDouble(&ok);
    return ok ? value : fallback;
  }

  static bool readViewBox(const QXmlStreamAttributes& attributes, SvgDocument& document) {
    auto parts = attributes.value(QLatin1String("viewBox")).toString().split(QRegularExpression("[\\s,]+"),
                                                                Qt::SkipEmptyParts);
    if (parts.size() == 4) {
      document.viewBox_ = QRectF(parts[0].toDouble(), parts[1].toDouble(), parts[2].toDouble(),
                                 parts[3].toDouble());
    } else {
      document.viewBox_ = QRectF(0, 0, number(attributes, "width"), number(attributes, "height"));
    }
    return document.viewBox_.width() > 0 && document.viewBox_.height() > 0;
  }

  static Paint paint(QStringView value) {
    Paint paint;
    if (value == u"currentColor") paint.current = true;
    else if (value != u"none") paint.color = QColor(value.toString());
    return paint;
  }

  static void applyStyle(const QXmlStreamAttributes& attributes, Context& context) {
    Shape& style = context.style;
    if (attributes.hasAttribute(QLatin1String("fill"))) style.fill = paint(attributes.value(QLatin1String("fill")));
    if (attributes.hasAttribute(QLatin1String("stroke"))) style.stroke = paint(attributes.value(QLatin1String("stroke")));
    style.strokeWidth = number(attributes, "stroke-width", style.strokeWidth);
    double opacity = number(attributes, "opacity", 1);
    style.fillOpacity = number(attributes, "fill-opacity", style.fillOpacity) * opacity;
    style.strokeOpacity = number(attributes, "stroke-opacity", style.strokeOpacity) * opacity;
    auto cap = attributes.value(QLatin1String("stroke-linecap"));
    if (cap == u"round") style.cap = Qt::RoundCap;
    else if (cap == u"square") style.cap = Qt::SquareCap;
    else if (cap == u"butt") style.cap = Qt::FlatCap;
    auto join = attributes.value(QLatin1String("stroke-linejoin"));
    if (join == u"round") style.join = Qt::RoundJoin;
    else if (join == u"bevel") style.join = Qt::BevelJoin;
    else if (join == u"miter") style.join = Qt::MiterJoin;
    if (attributes.hasAttribute(QLatin1String("transform")))
      context.transform = transform(attributes.value(QLatin1String("transform"))) * context.transform;
    if (attributes.hasAttribute(QLatin1String("fill-rule")))
      style.fillRule = attributes.value(QLatin1String("fill-rule")) == u"evenodd" ? Qt::OddEvenFill : Qt::WindingFill;
  }

  // "translate(x y) scale(s) rotate(a) matrix(a b c d e f)", applied right to left.
  static QTransform transform(QStringView text) {
    QTransform result;
    static const QRegularExpression item("(\\w+)\\s*\\(([^)]*)\\)");
    auto matches = item.globalMatch(text.toString());
    while (matches.hasNext()) {
      auto match = matches.next();
      QList<double> v;
      for (const auto& part : match.captured(2).split(QRegularExpression("[\\s,]+"), Qt::SkipEmptyParts))
        v.append(part.toDouble());
      QTransform step;
      QString kind = match.captured(1);
      if (kind == "translate" && !v.isEmpty()) step.translate(v[0], v.size() > 1 ? v[1] : 0);
      else if (kind == "scale" && !v.isEmpty()) step.scale(v[0], v.size() > 1 ? v[1] : v[0]);
      else if (kind == "rotate" && v.size() == 3) step.translate(v[1], v[2]).rotate(v[0]).translate(-v[1], -v[2]);
      else if (kind == "rotate" && !v.isEmpty()) step.rotate(v[0]);
      else if (kind == "matrix" && v.size() == 6) step = QTransform(v[0], v[1], v[2], v[3], v[4], v[5]);
      result = step * result;
    }
    return result;
  }

  static std::optional<QPainterPath> geometry(QStringView name, const QXmlStreamAttributes& a) {
    QPainterPath path;
    if (name == u"path") return parsePathData(a.value(QLatin1String("d")));
    if (name == u"circle" || name == u"ellipse") {
      double rx = name == u"circle" ? number(a, "r") : number(a, "rx");
      double ry = name == u"circle" ? rx : number(a, "ry");
      path.addEllipse(QPointF(number(a, "cx"), number(a, "cy")), rx, ry);
    } else if (name == u"rect") {
      double rx = number(a, "rx", number(a, "ry"));
      double ry = number(a, "ry", rx);
      path.addRoundedRect(QRectF(number(a, "x"), number(a, "y"), number(a, "width"),
                                 number(a, "height")),
                          rx, ry);
    } else if (name == u"line") {
      path.moveTo(number(a, "x1"), number(a, "y1"));
      path.lineTo(number(a, "x2"), number(a, "y2"));
    } else if (name == u"polyline" || name == u"polygon") {
      auto values = a.value(QLatin1String("points")).toString().split(QRegularExpression("[\\s,]+"), Qt::SkipEmptyParts);
      for (qsizetype i = 0; i + 1 < values.size(); i += 2) {
        QPointF p(values[i].toDouble(), values[i + 1].toDouble());
        if (i == 0) path.moveTo(p);
        else path.lineTo(p);
      }
      if (name == u"polygon") path.closeSubpath();
    } else {
      return std::nullopt;
    }
    return path;
  }
};

std::optional<SvgDocument> SvgDocument::parse(const QByteArray& text) { return SvgParser().run(text); }

std::optional<SvgDocument> SvgDocument::load(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return parse(file.readAll());
}

void SvgDocument::render(QPainter& painter, const QRectF& target, const QColor& currentColor) const {
  double scale = std::min(target.width() / viewBox_.width(), target.height() / viewBox_.height());
  QSizeF drawn = viewBox_.size() * scale;
  QPointF origin = target.center() - QPointF(drawn.width() / 2, drawn.height() / 2);

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(origin);
  painter.scale(scale, scale);
  painter.translate(-viewBox_.topLeft());
  auto resolve = [&](const Paint& paint, double opacity) {
    QColor color = paint.current ? currentColor : paint.color;
    if (color.isValid()) color.setAlphaF(color.alphaF() * opacity);
    return color;
  };
  for (const auto& shape : shapes_) {
    QColor fill = resolve(shape.fill, shape.fillOpacity);
    QColor stroke = resolve(shape.stroke, shape.strokeOpacity);
    if (fill.isValid()) painter.fillPath(shape.path, fill);
    if (stroke.isValid() && shape.strokeWidth > 0) {
      painter.strokePath(shape.path, QPen(stroke, shape.strokeWidth, Qt::SolidLine, shape.cap, shape.join));
    }
  }
  painter.restore();
}

}  // namespace trellisant::app
