// Draws the app's SVG icon as PNG files, one per size, for the hicolor theme's bitmap folders:
//   trellisant_icon_render ICON.svg FOLDER SIZE...   writes FOLDER/SIZE/trellisant.png
#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ICON.svg FOLDER SIZE...\n", argv[0]);
    return 2;
  }
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    int size = std::atoi(argv[i]);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    QString folder = QString::fromLocal8Bit(argv[2]) + "/" + QString::number(size);
    if (!QDir().mkpath(folder) || !image.save(folder + "/trellisant.png")) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(folder));
      return 1;
    }
  }
  return 0;
}
