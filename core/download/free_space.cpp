#include "download/free_space.h"

#include <sys/statvfs.h>

#include <limits>

namespace trellisant {

std::optional<std::int64_t> availableBytes(const std::filesystem::path& folder) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
  // f_bavail, not f_bfree: blocks reserved for root are no use to the agent.
  unsigned long long bytes = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
  constexpr auto limit = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(bytes > limit ? limit : bytes);
}

}  // namespace trellisant
