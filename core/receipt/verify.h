#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

namespace trellisant {

// A folder read again against the newest generation of its media hash list (ASC MHL).
struct FolderCheck {
  std::string manifest;  // the newest generation's file name
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::vector<std::string> missing, changed, unexpected;  // relative paths, NFC
  bool matches() const { return missing.empty() && changed.empty() && unexpected.empty(); }
};

// Reads every file below `folder` (never writing there) and compares it with the newest
// generation; `progress` hears the bytes of each block read. Throws TrellisantError when the
// folder has no media hash list or it cannot be read, Cancelled on a stop.
FolderCheck checkFolder(const std::filesystem::path& folder,
                        const std::function<void(std::int64_t)>& progress = {}, std::stop_token stop = {});

}  // namespace trellisant
