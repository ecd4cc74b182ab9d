#include "platform/process_scan.h"

#include <unistd.h>

#include <string>

namespace trellisant {

std::vector<int> processesRunning(const std::filesystem::path& executable) {
  std::vector<int> pids;
  std::error_code error;
  auto target = std::filesystem::weakly_canonical(executable, error);
  if (error) target = executable;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    int pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::error_code unreadable;  // other users' processes and vanished ones
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", unreadable);
    if (!unreadable && exe == target) pids.push_back(pid);
  }
  return pids;
}

}  // namespace trellisant
