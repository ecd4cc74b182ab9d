#include "program.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace trellisant {

std::vector<std::filesystem::path> folderList(const char* variable,
                                              std::vector<std::filesystem::path> fallback) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return fallback;
  std::vector<std::filesystem::path> out;
  std::string_view rest(value);
  while (!rest.empty()) {
    auto end = rest.find(':');
    if (auto item = rest.substr(0, end); !item.empty() && item.front() == '/') out.emplace_back(item);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return out;
}

bool isExecutable(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findProgram(const std::string& program,
                                                 const std::vector<std::filesystem::path>& folders) {
  if (program.find('/') != std::string::npos) return program;
  for (const auto& folder : folders)
    if (isExecutable(folder / program)) return folder / program;
  return std::nullopt;
}

std::filesystem::path besideSelf(std::string_view name) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return self.parent_path() / name;
}

std::jthread stopOnSignals(std::stop_source& stop) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return std::jthread([signals, stop](std::stop_token own) mutable {
    while (!own.stop_requested()) {
      timespec wake{0, 200'000'000};
      int received = sigtimedwait(&signals, nullptr, &wake);
      if (received == SIGINT || received == SIGTERM) {
        stop.request_stop();
        return;
      }
    }
  });
}

}  // namespace trellisant
