#pragma once

#include <optional>
#include <vector>

#include <QColor>
#include <QPainterPath>
#include <QRectF>
#include <QString>

class QPainter;

namespace trellisant::app {

// The small subset of SVG the bundled symbols are drawn in: <svg>, <g>, <path>, <circle>,
// <ellipse>, <rect>, <line>, <polyline>, <polygon>; fill, stroke and their opacities, stroke
// width, caps and joins, fill-rule and transform. Qt's base modules carry no SVG renderer, and
// these few shapes are all the symbols need. "currentColor" takes the colour given at draw time.
class SvgDocument {
 public:
  // Nothing when the file cannot be read or is not an SVG document of that subset.
  static std::optional<SvgDocument> load(const QString& path);
  static std::optional<SvgDocument> parse(const QByteArray& text);

  QRectF viewBox() const { return viewBox_; }
  // Draws the document scaled into `target`, keeping its aspect ratio, centred.
  void render(QPainter& painter, const QRectF& target, const QColor& currentColor) const;

 private:
  struct Paint {
    bool current = false;  // currentColor
    QColor color;          // invalid: none
  };
  struct Shape {
    QPainterPath path;
    Paint fill;
    Paint stroke;
    double strokeWidth = 1;
    Qt::PenCapStyle cap = Qt::FlatCap;
    Qt::PenJoinStyle join = Qt::MiterJoin;
    double fillOpacity = 1;
    double strokeOpacity = 1;
    Qt::FillRule fillRule = Qt::WindingFill;
  };
  friend class SvgParser;

  QRectF viewBox_;
  std::vector<Shape> shapes_;
};

// Path data ("d") to a painter path; nothing when the data is malformed.
std::optional<QPainterPath> parsePathData(QStringView data);

}  // namespace trellisant::app
