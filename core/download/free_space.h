#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace trellisant {

// Bytes an unprivileged user may still write on the folder's file system; nothing when the
// file system cannot be asked.
std::optional<std::int64_t> availableBytes(const std::filesystem::path& folder);

}  // namespace trellisant
