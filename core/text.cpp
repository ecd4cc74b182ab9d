#include "text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cstdio>
#include <iterator>
#include <memory>

namespace trellisant {

std::string nfc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(utf8);
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  icu::UnicodeString result = normalizer->normalize(source, status);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out;
  result.toUTF8String(out);
  return out;
}

std::vector<std::string> graphemes(std::string_view utf8) {
  std::vector<std::string> out;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) {
    for (char c : utf8) out.emplace_back(1, c);
    return out;
  }
  it->setText(text);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    std::string piece;
    text.tempSubStringBetween(start, end).toUTF8String(piece);
    out.push_back(std::move(piece));
  }
  return out;
}

std::string prefixCharacters(std::string_view utf8, std::size_t count) {
  auto pieces = graphemes(utf8);
  std::string out;
  for (std::size_t i = 0; i < pieces.size() && i < count; ++i) out += pieces[i];
  return out;
}

std::optional<long long> parseInt64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  unsigned long long magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr unsigned long long limit = 9223372036854775807ULL;
  if (negative) {
    if (magnitude > limit + 1) return std::nullopt;
    return magnitude == limit + 1 ? static_cast<long long>(-9223372036854775807LL - 1)
                                  : -static_cast<long long>(magnitude);
  }
  if (magnitude > limit) return std::nullopt;
  return static_cast<long long>(magnitude);
}

std::string asciiLowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string asciiUppercase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && asciiLowercase(std::string(a)) == asciiLowercase(std::string(b));
}

std::string sizeText(long long bytes) {
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000 && bytes > -1000) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1000;
  std::size_t unit = 0;
  while ((value >= 999.95 || value <= -999.95) && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string_view trimmed(std::string_view text) {
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

}  // namespace trellisant
