#include "download/free_space.h"

#include <sys/statvfs.h>

#include <limits>

#include "download/download_messages.h"
#include "error.h"

namespace trellisant {

std::optional<std::int64_t> availableBytes(const std::filesystem::path& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
  // f_bavail, not f_bfree: blocks reserved for root are no use to the agent.
  unsigned long long bytes = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
  constexpr auto limit = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(bytes > limit ? limit : bytes);
}

void requireFreeSpace(SpaceCheck moment, std::optional<std::int64_t> available,
                      std::int64_t bytes, std::int64_t missing) {
  // A sum past the largest 64-bit number needs more than any disk has.
  std::int64_t needed = 0;
  bool fits = available && !__builtin_add_overflow(bytes, freeSpaceReserve(missing), &needed) &&
              (moment == SpaceCheck::delivery ? *available >= needed : *available > needed);
  if (!fits)
    throw TrellisantError(moment == SpaceCheck::delivery ? DownloadMessages::noRoomForDelivery
                                                         : DownloadMessages::noRoomForRange);
}

}  // namespace trellisant
