#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "clock.h"
#include "error.h"

namespace trellisant {

using Json = nlohmann::json;

// A JSON document that does not have the expected shape (a missing key, a wrong type).
class DecodingError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// The platform's wording for data that cannot be decoded or encoded.
inline constexpr const char* kUnreadableData =
    "The data couldn’t be read because it isn’t in the correct format.";
inline constexpr const char* kUnwritableData =
    "The data couldn’t be written because it isn’t in the correct format.";

// Parses JSON text; malformed text is a DecodingError.
Json parseJson(std::string_view text);

// "leaseUntil" -> "lease_until".
std::string snakeCase(std::string_view camel);

// Typed, strict reads of one JSON object's fields. With `acceptSnakeCase` a field is also
// found under its snake-case key, as the server may send it. Extra keys are ignored; a
// missing required key or a value of the wrong type is a DecodingError.
class Fields {
 public:
  Fields(const Json& object, bool acceptSnakeCase);

  std::string string(std::string_view key) const;
  std::optional<std::string> optionalString(std::string_view key) const;
  std::int64_t integer(std::string_view key) const;
  double number(std::string_view key) const;
  // A number of seconds since 2001 (secondsSince2001), within what a Date can hold.
  Date date(std::string_view key) const;
  bool boolean(std::string_view key) const;
  const Json& array(std::string_view key) const;
  const Json& object(std::string_view key) const;
  // The value under the key, or nullptr when absent.
  const Json* find(std::string_view key) const;

 private:
  const Json& required(std::string_view key) const;
  [[noreturn]] void typeMismatch(std::string_view key, const char* expected) const;
  const Json& object_;
  bool snake_;
};

}  // namespace trellisant
