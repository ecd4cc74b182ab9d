#pragma once

#include <filesystem>
#include <vector>

namespace trellisant {

// The processes of this user (other than this one) running `executable`, found through /proc.
std::vector<int> processesRunning(const std::filesystem::path& executable);

}  // namespace trellisant
