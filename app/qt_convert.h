#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <QString>

// The one place where the Qt-free core's types meet Qt's.
namespace trellisant::app {

QString toQString(std::string_view text);
QString pathText(const std::filesystem::path& path);
QString toQString(const std::string& text);
std::string toStdString(const QString& text);
std::filesystem::path toPath(const QString& text);

// "1.5 GB": decimal (1000-based) units in the user's locale.
QString formatBytes(std::int64_t bytes);

}  // namespace trellisant::app
