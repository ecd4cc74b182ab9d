#pragma once

// Shared by the libFuzzer targets: a broken invariant is a crash, so libFuzzer keeps the input.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

#include "error.h"
#include "json.h"

namespace trellisant::fuzz {

inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Dates travel as doubles: they come back within a millisecond.
template <class Time>
bool closeTo(Time a, Time b) {
  return a - b < std::chrono::milliseconds(1) && b - a < std::chrono::milliseconds(1);
}

// The record decoded from `json`, when it decodes; what decodes must also survive being
// encoded and decoded again (`same` compares the two).
template <class Record, class Same = std::equal_to<>>
std::optional<Record> roundTrip(const Json& json, const char* what, Same same = {}) {
  std::optional<Record> record;
  try {
    record = Record::fromJson(json);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
  require(same(Record::fromJson(parseJson(record->toJson().dump())), *record), what);
  return record;
}

// The input as JSON; false when it is none.
inline bool json(const std::uint8_t* data, std::size_t size, Json& into) {
  try {
    into = parseJson(text(data, size));
    return true;
  } catch (const DecodingError&) {
    return false;
  }
}

// Takes bytes off the front of the input for parameters; what remains is the payload.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint64_t u64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
    return value;
  }
  std::string_view rest() const { return text(data_, size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace trellisant::fuzz
