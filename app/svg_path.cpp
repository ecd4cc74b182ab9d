// Path data of SVG 1.1 ("d" attributes) to QPainterPath.
#include <cmath>
#include <numbers>

#include "svg_document.h"

namespace trellisant::app {
namespace {

class PathScanner {
 public:
  explicit PathScanner(QStringView text) : text_(text) {}

  void skipSeparators() {
    while (pos_ < text_.size() && (text_[pos_].isSpace() || text_[pos_] == u',')) ++pos_;
  }
  bool atEnd() {
    skipSeparators();
    return pos_ >= text_.size();
  }
  bool nextIsNumber() {
    skipSeparators();
    if (pos_ >= text_.size()) return false;
    QChar c = text_[pos_];
    return c.isDigit() || c == u'-' || c == u'+' || c == u'.';
  }
  std::optional<QChar> command() {
    skipSeparators();
    if (pos_ >= text_.size() || !text_[pos_].isLetter()) return std::nullopt;
    return text_[pos_++];
  }
  std::optional<double> number() {
    skipSeparators();
    qsizetype start = pos_;
    auto digits = [&] {
      qsizetype from = pos_;
      while (pos_ < text_.size() && text_[pos_].isDigit()) ++pos_;
      return pos_ > from;
    };
    if (pos_ < text_.size() && (text_[pos_] == u'-' || text_[pos_] == u'+')) ++pos_;
    bool whole = digits();
    bool fraction = false;
    if (pos_ < text_.size() && text_[pos_] == u'.') {
      ++pos_;
      fraction = digits();
    }
    if (!whole && !fraction) return std::nullopt;
    if (pos_ < text_.size() && (text_[pos_] == u'e' || text_[pos_] == u'E')) {
      qsizetype mark = pos_++;
      if (pos_ < text_.size() && (text_[pos_] == u'-' || text_[pos_] == u'+')) ++pos_;
      if (!digits()) pos_ = mark;
    }
    bool ok = false;
    double value = text_.mid(start, pos_ - start).toDouble(&ok);
    if (!ok) return std::nullopt;
    return value;
  }
  // Arc flags may be written without separators ("a1 1 0 011 1").
  std::optional<bool> flag() {
    skipSeparators();
    if (pos_ >= text_.size()) return std::nullopt;
    QChar c = text_[pos_];
    if (c != u'0' && c != u'1') return std::nullopt;
    ++pos_;
    return c == u'1';
  }

 private:
  QStringView text_;
  qsizetype pos_ = 0;
};

double angleBetween(double ux, double uy, double vx, double vy) {
  double angle = std::atan2(ux * vy - uy * vx, ux * vx + uy * vy);
  return angle * 180.0 / std::numbers::pi;
}

// SVG's endpoint arc as a painter arc (SVG 1.1 appendix F.6.5).
void arcTo(QPainterPath& path, QPointF from, double rx, double ry, double rotation, bool large,
           bool sweep, QPointF to) {
  rx = std::fabs(rx);
  ry = std::fabs(ry);
  if (from == to) return;
  if (rx == 0 || ry == 0) {
    path.lineTo(to);
    return;
  }
  double phi = rotation * std::numbers::pi / 180.0;
  double cosPhi = std::cos(phi), sinPhi = std::sin(phi);
  double dx = (from.x() - to.x()) / 2, dy = (from.y() - to.y()) / 2;
  double x1 = cosPhi * dx + sinPhi * dy;
  double y1 = -sinPhi * dx + cosPhi * dy;
  double lambda = (x1 * x1) / (rx * rx) + (y1 * y1) / (ry * ry);
  if (lambda > 1) {
    rx *= std::sqrt(lambda);
    ry *= std::sqrt(lambda);
  }
  double numerator = rx * rx * ry * ry - rx * rx * y1 * y1 - ry * ry * x1 * x1;
  double denominator = rx * rx * y1 * y1 + ry * ry * x1 * x1;
  double factor = std::sqrt(std::max(0.0, numerator / denominator)) * (large == sweep ? -1 : 1);
  double cx1 = factor * rx * y1 / ry;
  double cy1 = -factor * ry * x1 / rx;
  double cx = cosPhi * cx1 - sinPhi * cy1 + (from.x() + to.x()) / 2;
  double cy = sinPhi * cx1 + cosPhi * cy1 + (from.y() + to.y()) / 2;
  double ux = (x1 - cx1) / rx, uy = (y1 - cy1) / ry;
  double vx = (-x1 - cx1) / rx, vy = (-y1 - cy1) / ry;
  double start = angleBetween(1, 0, ux, uy);
  double extent = angleBetween(ux, uy, vx, vy);
  if (!sweep && extent > 0) extent -= 360;
  if (sweep && extent < 0) extent += 360;

  // Qt measures angles counter-clockwise on screen, SVG clockwise.
  QPainterPath arc;
  double startRad = start * std::numbers::pi / 180.0;
  arc.moveTo(rx * std::cos(startRad), ry * std::sin(startRad));
  arc.arcTo(QRectF(-rx, -ry, 2 * rx, 2 * ry), -start, -extent);
  QTransform place;
  place.translate(cx, cy);
  place.rotate(rotation);
  path.connectPath(place.map(arc));
  path.lineTo(to);  // lands exactly on the endpoint despite rounding
}

}  // namespace

std::optional<QPainterPath> parsePathData(QStringView data) {
  PathScanner scan(data);
  QPainterPath path;
  QPointF current, subpathStart, lastControl;
  QChar previous;
  QChar command;
  while (!scan.atEnd()) {
    if (auto next = scan.command()) {
      command = *next;
    } else if (command.isNull() || !scan.nextIsNumber()) {
      return std::nullopt;
    } else if (command.toUpper() == u'Z') {
      return std::nullopt;  // numbers after a closepath without a new command
    } else if (command == u'M') {
      command = u'L';  // coordinates after a moveto are implicit linetos
    } else if (command == u'm') {
      command = u'l';
    }
    bool relative = command.isLower();
    QPointF base = relative ? current : QPointF();
    auto point = [&]() -> std::optional<QPointF> {
      auto x = scan.number();
      auto y = scan.number();
      if (!x || !y) return std::nullopt;
      return QPointF(*x, *y) + base;
    };
    QChar upper = command.toUpper();
    if (upper == u'Z') {
      path.closeSubpath();
      current = subpathStart;
    } else if (upper == u'M' || upper == u'L' || upper == u'T') {
      auto p = point();
      if (!p) return std::nullopt;
      if (upper == u'M') {
        path.moveTo(*p);
        subpathStart = *p;
      } else if (upper == u'L') {
        path.lineTo(*p);
      } else {
        bool smooth = previous.toUpper() == u'Q' || previous.toUpper() == u'T';
        QPointF control = smooth ? 2 * current - lastControl : current;
        path.quadTo(control, *p);
        lastControl = control;
      }
      current = *p;
    } else if (upper == u'H' || upper == u'V') {
      auto v = scan.number();
      if (!v) return std::nullopt;
      if (upper == u'H') current.setX(*v + (relative ? current.x() : 0));
      else current.setY(*v + (relative ? current.y() : 0));
      path.lineTo(current);
    } else if (upper == u'C' || upper == u'S') {
      std::optional<QPointF> c1;
      if (upper == u'C') {
        c1 = point();
      } else {
        bool smooth = previous.toUpper() == u'C' || previous.toUpper() == u'S';
        c1 = smooth ? 2 * current - lastControl : current;
      }
      auto c2 = point();
      auto p = point();
      if (!c1 || !c2 || !p) return std::nullopt;
      path.cubicTo(*c1, *c2, *p);
      lastControl = *c2;
      current = *p;
    } else if (upper == u'Q') {
      auto c = point();
      auto p = point();
      if (!c || !p) return std::nullopt;
      path.quadTo(*c, *p);
      lastControl = *c;
      current = *p;
    } else if (upper == u'A') {
      auto rx = scan.number(), ry = scan.number(), rotation = scan.number();
      auto large = scan.flag(), sweep = scan.flag();
      auto p = point();
      if (!rx || !ry || !rotation || !large || !sweep || !p) return std::nullopt;
      arcTo(path, current, *rx, *ry, *rotation, *large, *sweep, *p);
      current = *p;
    } else {
      return std::nullopt;
    }
    previous = command;
  }
  return path;
}

}  // namespace trellisant::app
