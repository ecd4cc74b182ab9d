#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "svg_document.h"
#include "symbols.h"

using namespace trellisant::app;

namespace {

void expectNear(const QRectF& actual, const QRectF& expected) {
  EXPECT_NEAR(actual.left(), expected.left(), 0.05);
  EXPECT_NEAR(actual.top(), expected.top(), 0.05);
  EXPECT_NEAR(actual.width(), expected.width(), 0.05);
  EXPECT_NEAR(actual.height(), expected.height(), 0.05);
}

TEST(SvgDocumentTest, PathData) {
  // Relative lines, implicit repetition after a moveto, H/V and close.
  auto box = parsePathData(u"m2 3 4 0v5h-4z");
  ASSERT_TRUE(box);
  expectNear(box->boundingRect(), QRectF(2, 3, 4, 5));

  // Arc flags decide the side: sweep 1 goes up (clockwise on screen) from the left point.
  auto up = parsePathData(u"M0 0a5 5 0 0 1 10 0");
  ASSERT_TRUE(up);
  expectNear(up->boundingRect(), QRectF(0, -5, 10, 5));
  auto down = parsePathData(u"M0 0a5 5 0 0 0 10 0");
  ASSERT_TRUE(down);
  expectNear(down->boundingRect(), QRectF(0, 0, 10, 5));
  // Flags written without separators, and a radius too small scaled up to reach the end.
  auto packed = parsePathData(u"M0 0a1 1 0 0110 0");
  ASSERT_TRUE(packed);
  expectNear(packed->boundingRect(), QRectF(0, -5, 10, 5));

  EXPECT_FALSE(parsePathData(u"M0 0L5"));
  EXPECT_FALSE(parsePathData(u"10 10"));
  EXPECT_FALSE(parsePathData(u"M0 0z 5 5"));
}

TEST(SvgDocumentTest, TransformsApplyInsideOut) {
  auto document = SvgDocument::parse(R"svg(<svg viewBox="0 0 20 20">
      <g transform="translate(10 0)"><rect transform="rotate(90 2 2)" width="4" height="2"/></g></svg>)svg");
  ASSERT_TRUE(document);
  QImage image(20, 20, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  document->render(painter, QRectF(0, 0, 20, 20), Qt::black);
  painter.end();
  // The 4×2 bar turned about (2, 2) stands upright at x 2..4, y 0..4, then moves right by 10.
  EXPECT_GT(image.pixelColor(13, 3).alpha(), 200);
  EXPECT_EQ(image.pixelColor(11, 1).alpha(), 0);
  EXPECT_EQ(image.pixelColor(3, 3).alpha(), 0);
}

TEST(SvgDocumentTest, EveryBundledSymbolDrawsInTheGivenColour) {
  for (const char* name :
       {"arrow.down.left.arrow.up.right", "arrow.down.circle", "arrow.down.circle.fill", "slider.horizontal.3",
        "hammer", "arrow.up.right.square", "arrow.up.right", "exclamationmark.circle", "checkmark.shield",
        "lock.shield", "tray.and.arrow.down", "film", "externaldrive", "checkmark.circle"}) {
    QIcon icon = bundledSymbolIcon(name, QColor(255, 0, 0));
    ASSERT_FALSE(icon.isNull()) << name;
    QImage image = icon.pixmap(QSize(48, 48)).toImage();
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        QColor pixel = image.pixelColor(x, y);
        if (pixel.alpha() > 200 && pixel.red() > 200 && pixel.green() < 60) ++red;
      }
    EXPECT_GT(red, 40) << name;
  }
  EXPECT_TRUE(bundledSymbolIcon("no.such.symbol", Qt::red).isNull());
  EXPECT_FALSE(appIcon().pixmap(QSize(64, 64)).isNull());
}

}  // namespace
