#include "json.h"

#include <cctype>
#include <cmath>
#include <limits>

namespace trellisant {

Json parseJson(std::string_view text) {
  try {
    return Json::parse(text);
  } catch (const Json::exception&) {
    // parse_error, and out_of_range for a number beyond a double ("1e309").
    throw DecodingError(kUnreadableData);
  }
}

std::string snakeCase(std::string_view camel) {
  std::string out;
  for (char c : camel) {
    if (std::isupper(static_cast<unsigned char>(c))) {
      out.push_back('_');
      out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

Fields::Fields(const Json& object, bool acceptSnakeCase) : object_(object), snake_(acceptSnakeCase) {
  if (!object_.is_object())
    throw DecodingError(kUnreadableData);
}

const Json* Fields::find(std::string_view key) const {
  auto it = object_.find(std::string(key));
  if (it != object_.end()) return &*it;
  if (snake_) {
    it = object_.find(snakeCase(key));
    if (it != object_.end()) return &*it;
  }
  return nullptr;
}

const Json& Fields::required(std::string_view key) const {
  const Json* value = find(key);
  if (value == nullptr || value->is_null())
    throw DecodingError("The data couldn’t be read because “" + std::string(key) + "” is missing.");
  return *value;
}

void Fields::typeMismatch(std::string_view key, const char* expected) const {
  throw DecodingError("The data couldn’t be read because “" + std::string(key) + "” is not " +
                      expected + ".");
}

std::string Fields::string(std::string_view key) const {
  const Json& value = required(key);
  if (!value.is_string()) typeMismatch(key, "a string");
  return value.get<std::string>();
}

std::optional<std::string> Fields::optionalString(std::string_view key) const {
  const Json* value = find(key);
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (!value->is_string()) typeMismatch(key, "a string");
  return value->get<std::string>();
}

std::int64_t Fields::integer(std::string_view key) const {
  const Json& value = required(key);
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      typeMismatch(key, "a 64-bit integer");
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18)
      return static_cast<std::int64_t>(d);
  }
  typeMismatch(key, "an integer");
}

double Fields::number(std::string_view key) const {
  const Json& value = required(key);
  if (!value.is_number()) typeMismatch(key, "a number");
  return value.get<double>();
}

Date Fields::date(std::string_view key) const {
  // A Date counts nanoseconds in 64 bits, about 292 years either side of 1970: only about
  // 8.2e9 seconds after 2001. Beyond that the conversion would overflow.
  constexpr double latest = 8.0e9;
  double seconds = number(key);
  if (!std::isfinite(seconds) || std::fabs(seconds) > latest)
    throw DecodingError("The data couldn’t be read because “" + std::string(key) + "” is not a valid date.");
  return dateFromSecondsSince2001(seconds);
}

bool Fields::boolean(std::string_view key) const {
  const Json& value = required(key);
  if (!value.is_boolean()) typeMismatch(key, "a boolean");
  return value.get<bool>();
}

const Json& Fields::array(std::string_view key) const {
  const Json& value = required(key);
  if (!value.is_array()) typeMismatch(key, "an array");
  return value;
}

const Json& Fields::object(std::string_view key) const {
  const Json& value = required(key);
  if (!value.is_object()) typeMismatch(key, "an object");
  return value;
}

}  // namespace trellisant
