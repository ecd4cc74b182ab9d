#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Text forms of bytes, and fresh random identifiers.
namespace trellisant {

// Lower-case hexadecimal form of raw bytes.
std::string hex(const unsigned char* bytes, std::size_t count);

// A fresh random UUID in its 36-character form (lower case).
std::string makeUUID();

std::string base64Encode(std::string_view bytes);
// Nothing when the text is not valid Base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace trellisant
