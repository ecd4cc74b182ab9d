#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace trellisant {

// Reads a whole file; nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Replaces `path` atomically: the bytes go to a temporary file in the same folder, which is
// synced, given `mode`, renamed over the target, and the folder is synced. A reader sees the
// old or the new content, never a part. Throws PlatformError.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// Syncs a folder's entries, so that names made, renamed or removed in it outlast a power cut;
// false when the folder cannot be opened or synced.
bool syncFolder(const std::filesystem::path& folder);

}  // namespace trellisant
