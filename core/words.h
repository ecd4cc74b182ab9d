#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace trellisant {

// The words an enum is stored and sent under; one table per enum serves both directions.
template <typename Enum, std::size_t N>
struct EnumWords {
  std::pair<Enum, std::string_view> entries[N];

  constexpr std::string_view operator()(Enum value) const {
    for (auto [known, word] : entries)
      if (known == value) return word;
    return {};
  }

  // Nothing for a word this build does not know.
  constexpr std::optional<Enum> parse(std::string_view text) const {
    for (auto [known, word] : entries)
      if (word == text) return known;
    return std::nullopt;
  }
};

}  // namespace trellisant
