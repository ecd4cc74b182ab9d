#include "qt_convert.h"

#include <QFile>
#include <QLocale>

namespace trellisant::app {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString toQString(const std::string& text) { return toQString(std::string_view(text)); }

QString pathText(const std::filesystem::path& path) { return QFile::decodeName(path.c_str()); }

std::string toStdString(const QString& text) { return text.toStdString(); }

std::filesystem::path toPath(const QString& text) { return QFile::encodeName(text).toStdString(); }

QString formatBytes(std::int64_t bytes) {
  return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

}  // namespace trellisant::app
