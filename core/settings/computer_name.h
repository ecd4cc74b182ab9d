#pragma once

#include <filesystem>
#include <string>

namespace trellisant {

// The name shown for this computer: PRETTY_HOSTNAME from machine-info, else the host name,
// else "My computer" (the enrollment name when the system knows none).
std::string computerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

}  // namespace trellisant
