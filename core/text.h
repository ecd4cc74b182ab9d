#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellisant {

// Unicode canonical composition (NFC) of UTF-8 text; invalid UTF-8 becomes U+FFFD.
std::string nfc(std::string_view utf8);

// The user-perceived characters (extended grapheme clusters) of UTF-8 text, in order.
std::vector<std::string> graphemes(std::string_view utf8);

// The first `count` user-perceived characters.
std::string prefixCharacters(std::string_view utf8, std::size_t count);

// ASCII case changes and comparison; other bytes (UTF-8 included) stay as they are.
std::string asciiLowercase(std::string text);
std::string asciiUppercase(std::string text);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// `text` without the spaces, tabs and line breaks at either end.
std::string_view trimmed(std::string_view text);

// Int64(text) semantics: an optional "+" or "-" and decimal digits, nothing else, no overflow.
std::optional<long long> parseInt64(std::string_view text);

// A byte count as people read it, in decimal units: "512 B", "120.4 MB", "1.2 GB".
std::string sizeText(long long bytes);

}  // namespace trellisant
