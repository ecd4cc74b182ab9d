#include <gtest/gtest.h>

#include <QImage>

#include "symbols.h"

using namespace trellisant::app;

namespace {

int countPixels(const QImage& image, bool (*accept)(const QColor&)) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (accept(image.pixelColor(x, y))) ++count;
  return count;
}

bool opaqueRed(const QColor& c) { return c.alpha() > 200 && c.red() > 200 && c.green() < 60; }
bool opaqueWhite(const QColor& c) { return c.alpha() > 200 && c.red() > 200 && c.green() > 200 && c.blue() > 200; }

TEST(SymbolsTest, EveryBundledSymbolDrawsInTheGivenColour) {
  for (const char* name :
       {"arrow.down.left.arrow.up.right", "arrow.down.circle", "arrow.down.circle.fill", "slider.horizontal.3",
        "hammer", "arrow.up.right.square", "arrow.up.right", "exclamationmark.circle", "checkmark.shield",
        "lock.shield", "tray.and.arrow.down", "film", "externaldrive", "checkmark.circle", "line.3.horizontal"}) {
    QIcon icon = bundledSymbolIcon(name, QColor(255, 0, 0));
    ASSERT_FALSE(icon.isNull()) << name;
    EXPECT_GT(countPixels(icon.pixmap(QSize(48, 48)).toImage(), opaqueRed), 40) << name;
  }
  // The filled circle keeps its white arrow: only "currentColor" takes the colour.
  QImage filled = bundledSymbolIcon("arrow.down.circle.fill", Qt::red).pixmap(QSize(48, 48)).toImage();
  EXPECT_GT(countPixels(filled, opaqueWhite), 20);
  // Disabled symbols are drawn faint, not in full colour.
  QImage disabled = bundledSymbolIcon("film", Qt::red).pixmap(QSize(48, 48), QIcon::Disabled).toImage();
  EXPECT_EQ(countPixels(disabled, opaqueRed), 0);
  EXPECT_TRUE(bundledSymbolIcon("no.such.symbol", Qt::red).isNull());
  EXPECT_GT(countPixels(appIcon().pixmap(QSize(64, 64)).toImage(), opaqueWhite), 20);
}

}  // namespace
