#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace trellisant {

// Reads a whole file; nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);
// Reads what is left of an open file, from its current offset; nothing when it cannot be read.
std::optional<std::string> readAll(int fd);

// Replaces `path` atomically: the bytes go to a temporary file in the same folder, which is
// synced, given `mode`, renamed over the target, and the folder is synced. A reader sees the
// old or the new content, never a part. Throws PlatformError.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// Syncs a folder's entries, so that names made, renamed or removed in it outlast a power cut;
// false when the folder cannot be opened or synced.
bool syncFolder(const std::filesystem::path& folder);

// Creates each missing folder of `path` with mode 0700, syncing each new name in its parent
// (a power cut would otherwise take the folder away with every file synced into it); existing
// folders are left as they are.
void makeFolders(const std::filesystem::path& path);

// `folder` for files that may hold a secret: missing folders are made with mode 0700, and
// `folder` itself is set to 0700 even when it was there before (its parents stay as they are).
// Returns it; a folder that cannot be made shows up as a failure of the next file operation.
std::filesystem::path privateFolder(const std::filesystem::path& folder);

}  // namespace trellisant
