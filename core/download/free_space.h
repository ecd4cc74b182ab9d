#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace trellisant {

// Bytes an unprivileged user may still write on the folder's file system; nothing when the
// file system cannot be asked.
std::optional<std::int64_t> availableBytes(const std::filesystem::path& folder);

// Room kept free beside `missing` bytes still to download: 5 % of them (truncated), at least
// 10 GB.
inline std::int64_t freeSpaceReserve(std::int64_t missing) {
  constexpr std::int64_t minimum = 10'000'000'000;
  return missing / 20 > minimum ? missing / 20 : minimum;
}

// The moments of the free-space rule: before a delivery's files start, all that remains must
// fit (exactly filling the disk will do); before each range, the range must fit with room to
// spare.
enum class SpaceCheck { delivery, range };

// Throws the moment's TrellisantError unless `available` holds `bytes` beside the reserve for
// the `missing` bytes still to download. An unknown amount is never enough.
void requireFreeSpace(SpaceCheck moment, std::optional<std::int64_t> available,
                      std::int64_t bytes, std::int64_t missing);

}  // namespace trellisant
