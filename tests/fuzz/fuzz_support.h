#pragma once

// Shared by the libFuzzer targets: a broken invariant is a crash, so libFuzzer keeps the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace trellisant::fuzz {

inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
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
